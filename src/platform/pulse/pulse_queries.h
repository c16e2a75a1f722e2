#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// Questions to the server, each answered before the deadline or not at all (nullopt, with the
// server's error text). Called with the context's lock held.

struct ServerDefaults {
  std::string defaultSinkName;
  std::string defaultSourceName;
};
std::optional<ServerDefaults> queryServerDefaults(PulseContext& context, Deadline deadline,
                                                  std::string& error);

struct SourceDescription {
  pa_sample_spec sampleSpec{};
  bool isMonitor = false;
};
std::optional<SourceDescription> querySource(PulseContext& context, const std::string& name,
                                             Deadline deadline, std::string& error);

struct SinkDescription {
  std::string name;
  std::string monitorSourceName;
};
std::optional<std::vector<SinkDescription>> querySinks(PulseContext& context, Deadline deadline,
                                                       std::string& error);

struct ClientDescription {
  std::optional<int> processId;
  std::string name;
};
std::optional<std::vector<ClientDescription>> queryClients(PulseContext& context, Deadline deadline,
                                                           std::string& error);

// The connection in slot, or a new one when there is none or it died. A dead connection is never revived.
bool ensureConnected(std::shared_ptr<PulseContext>& slot, const std::string& threadName, Deadline deadline,
                     std::string& error);

}  // namespace zarvi::pulse
