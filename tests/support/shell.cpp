#include "support/shell.h"

#include <cstdio>
#include <stdexcept>

namespace zarvi::testing {

std::string runAndRead(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed: " + command);
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command + "\n" + output);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace zarvi::testing
