#include "support/event_lines.h"

#include <nlohmann/json.hpp>
#include <sstream>

namespace zarvi::testing {

std::vector<std::string> events(const std::string& text, bool includeDebug) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 2 || !parsed.contains("type") ||
        !parsed.contains("msg")) {
      found.push_back("unparsable: " + line);
      continue;
    }
    const auto type = parsed["type"].get<std::string>();
    if (type == "debug" && !includeDebug) continue;
    found.push_back(type + " " + parsed["msg"].get<std::string>());
  }
  return found;
}

}  // namespace zarvi::testing
