#include "platform/pulse/pulse_capture_service.h"

#include <algorithm>

#include "platform/follow/followed_capture_service.h"
#include "platform/pulse/pulse_queries.h"
#include "platform/pulse/pulse_source_side.h"

namespace zarvi::pulse {
namespace {

Result<platform::ShareableContent> readContent(PulseConnection& connection) {
  const Deadline deadline = deadlineFromNow();
  const auto context = connection.ensure(deadline);
  if (!context) return context.failure();
  PulseContext::Lock hold(*context.value());
  const auto devices = queryDevices(*context.value(), deadline);
  if (!devices) return devices.failure();
  const auto clients = queryClients(*context.value(), deadline);
  if (!clients) return clients.failure();
  platform::ShareableContent content;
  for (const auto& sink : devices->sinks) content.displays.push_back({sink.name, sink.monitorSourceName});
  std::stable_partition(
      content.displays.begin(), content.displays.end(),
      [&](const platform::Display& display) { return display.name == devices->defaultSinkName; });
  for (const auto& client : clients.value()) {
    if (client.processId) content.applications.push_back({*client.processId, client.name});
  }
  return content;
}

}  // namespace

std::unique_ptr<platform::CaptureService> makePulseCaptureService() {
  // One connection for the content and the streams, one after the other: only one is ever held.
  auto connection = std::make_shared<PulseConnection>("pulse-system");
  return std::make_unique<platform::FollowedCaptureService>(
      [connection] { return readContent(*connection); },
      [connection](const platform::ContentFilter& filter,
                   const platform::StreamConfiguration& configuration) {
        // Every device is recorded in the configured format: the server converts.
        const PulseSourceSide::Format format{static_cast<std::uint32_t>(configuration.sampleRate),
                                             static_cast<std::uint8_t>(configuration.channelCount)};
        const std::string& source = filter.display.monitorSourceName;
        return platform::StreamPlan{std::make_unique<PulseSourceSide>(connection, chooseSystemAudio, format),
                                    ChosenDevice{source, source, format.rate, format.channels}};
      });
}

}  // namespace zarvi::pulse
