#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/device_policy.h"
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

// The defaults and every source and sink, for the device policy.
std::optional<ServerDevices> queryDevices(PulseContext& context, Deadline deadline, std::string& error);

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
