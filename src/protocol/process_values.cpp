#include "protocol/process_values.h"

#include <cstdlib>
#include <cstring>

namespace zarvi {

std::mutex writeLock;
bool VERBOSE_AUDIO = false;

bool environmentSwitchIsOn(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace zarvi
