#pragma once

#include <string>

namespace zarvi::testing {

// The few calls the unit tests need that differ between Linux and Windows.

// A pipe of the C runtime's descriptors, binary on Windows; 0 on success, as pipe(2).
int makePipe(int fds[2]);

// Sets or removes a variable of this process's environment. Windows keeps no empty variables: there,
// an empty value removes it.
void setEnvironment(const char* name, const char* value);
void unsetEnvironment(const char* name);

// The calling thread's name as the system's tools show it; empty when it has none.
std::string currentThreadName();

}  // namespace zarvi::testing
