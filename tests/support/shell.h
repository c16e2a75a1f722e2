#pragma once

#include <string>

namespace zarvi::testing {

// Runs a shell command and returns its standard output without the last line feeds; throws when it
// fails, with what it printed.
std::string runAndRead(const std::string& command);

}  // namespace zarvi::testing
