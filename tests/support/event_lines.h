#pragma once

#include <string>
#include <vector>

namespace zarvi::testing {

// Each event line of the text as "<type> <msg>", parsed as JSON; a line that does not parse as an
// event object becomes "unparsable: <line>" so that a test comparing events shows it.
std::vector<std::string> events(const std::string& text, bool includeDebug = false);

}  // namespace zarvi::testing
