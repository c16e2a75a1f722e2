#pragma once

#include <map>
#include <string>

namespace zarvi::testing {

// The Wine prefix that scripts/wine.sh runs the Windows binary in, as the Wine tests drive it: Wine
// does not follow the sound server's defaults, but takes its default endpoints from its registry.
namespace wine {

enum class Flow { render, capture };

// The endpoint ids Wine has given the server's devices, by friendly name (a device's description).
// Wine records them when a program first lists the endpoints.
std::map<std::string, std::string> endpoints(Flow flow);

// Makes the endpoint the default of its flow, as the sound settings would; programs that watch the
// endpoints hear of it at once.
void setDefault(Flow flow, const std::string& endpointId);

}  // namespace wine
}  // namespace zarvi::testing
