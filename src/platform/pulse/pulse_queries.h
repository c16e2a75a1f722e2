#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/device_policy.h"
#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// Questions to the server, each answered before the deadline or failed with the server's error text.
// Called with the context's lock held.

struct ServerDefaults {
  std::string defaultSinkName;
  std::string defaultSourceName;
};
Result<ServerDefaults> queryServerDefaults(PulseContext& context, Deadline deadline);

// The defaults and every source and sink, for the device policy.
Result<ServerDevices> queryDevices(PulseContext& context, Deadline deadline);

struct ClientDescription {
  std::optional<int> processId;
  std::string name;
};
Result<std::vector<ClientDescription>> queryClients(PulseContext& context, Deadline deadline);

}  // namespace zarvi::pulse
