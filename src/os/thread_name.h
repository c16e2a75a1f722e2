#pragma once

#include <string>

namespace zarvi::os {

// Names the calling thread as top -H and gdb show it. Each operating system has its own way and its
// own limit (Linux keeps 15 characters).
void nameCurrentThread(const std::string& name);

}  // namespace zarvi::os
