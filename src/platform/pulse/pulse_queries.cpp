#include "platform/pulse/pulse_queries.h"

#include <charconv>
#include <cstring>

namespace zarvi::pulse {
namespace {

template <typename Answer>
struct Pending {
  PulseContext* context;
  Answer answer{};
};

std::string textOr(const char* text) {
  return text != nullptr ? text : "";
}

// The operation's outcome: the answer when it completed, else the failure.
template <typename Answer>
Result<Answer> finish(PulseContext& context, pa_operation* operation, Pending<Answer>& pending,
                      Deadline deadline) {
  if (operation == nullptr) return context.lastError();
  if (context.await(operation, deadline)) return std::move(pending.answer);
  return context.alive() ? describePulseError(PA_ERR_TIMEOUT) : context.lastError();
}

}  // namespace

Result<ServerDefaults> queryServerDefaults(PulseContext& context, Deadline deadline) {
  Pending<ServerDefaults> pending{&context};
  pa_operation* operation = pa_context_get_server_info(
      context.context(),
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* waiting = static_cast<Pending<ServerDefaults>*>(data);
        if (info != nullptr) {
          waiting->answer.defaultSinkName = textOr(info->default_sink_name);
          waiting->answer.defaultSourceName = textOr(info->default_source_name);
        }
        waiting->context->signal();
      },
      &pending);
  return finish(context, operation, pending, deadline);
}

Result<ServerDevices> queryDevices(PulseContext& context, Deadline deadline) {
  const auto defaults = queryServerDefaults(context, deadline);
  if (!defaults) return defaults.failure();
  Pending<std::vector<SourceDevice>> sources{&context};
  pa_operation* listingSources = pa_context_get_source_info_list(
      context.context(),
      [](pa_context*, const pa_source_info* info, int /*eol*/, void* data) {
        auto* waiting = static_cast<Pending<std::vector<SourceDevice>>*>(data);
        if (info != nullptr) {
          waiting->answer.push_back({textOr(info->name), textOr(info->description),
                                     info->monitor_of_sink != PA_INVALID_INDEX, info->sample_spec.rate,
                                     info->sample_spec.channels});
        }
        waiting->context->signal();
      },
      &sources);
  auto sourceList = finish(context, listingSources, sources, deadline);
  if (!sourceList) return sourceList.failure();
  Pending<std::vector<SinkDevice>> sinks{&context};
  pa_operation* listingSinks = pa_context_get_sink_info_list(
      context.context(),
      [](pa_context*, const pa_sink_info* info, int /*eol*/, void* data) {
        auto* waiting = static_cast<Pending<std::vector<SinkDevice>>*>(data);
        if (info != nullptr) {
          waiting->answer.push_back(
              {textOr(info->name), textOr(info->description), textOr(info->monitor_source_name)});
        }
        waiting->context->signal();
      },
      &sinks);
  auto sinkList = finish(context, listingSinks, sinks, deadline);
  if (!sinkList) return sinkList.failure();
  return ServerDevices{defaults->defaultSourceName, defaults->defaultSinkName, std::move(*sourceList),
                       std::move(*sinkList)};
}

Result<std::vector<ClientDescription>> queryClients(PulseContext& context, Deadline deadline) {
  Pending<std::vector<ClientDescription>> pending{&context};
  pa_operation* operation = pa_context_get_client_info_list(
      context.context(),
      [](pa_context*, const pa_client_info* info, int /*eol*/, void* data) {
        auto* waiting = static_cast<Pending<std::vector<ClientDescription>>*>(data);
        if (info != nullptr) {
          ClientDescription client{std::nullopt, textOr(info->name)};
          const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
          int value = 0;
          if (pid != nullptr && std::from_chars(pid, pid + std::strlen(pid), value).ec == std::errc()) {
            client.processId = value;
          }
          waiting->answer.push_back(std::move(client));
        }
        waiting->context->signal();
      },
      &pending);
  return finish(context, operation, pending, deadline);
}

}  // namespace zarvi::pulse
