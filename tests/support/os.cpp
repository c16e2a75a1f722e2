#include "support/os.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#else
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace zarvi::testing {

#ifdef _WIN32

int makePipe(int fds[2]) {
  return ::_pipe(fds, 1 << 16, _O_BINARY);
}

void setEnvironment(const char* name, const char* value) {
  ::_putenv_s(name, value);
}

void unsetEnvironment(const char* name) {
  ::_putenv_s(name, "");
}

std::string currentThreadName() {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto getDescription = reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR wide = nullptr;
  if (getDescription == nullptr || FAILED(getDescription(::GetCurrentThread(), &wide))) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string name(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), length, nullptr, nullptr);
  ::LocalFree(wide);
  name.resize(name.size() - 1);
  return name;
}

#else

int makePipe(int fds[2]) {
  return ::pipe(fds);
}

void setEnvironment(const char* name, const char* value) {
  ::setenv(name, value, 1);
}

void unsetEnvironment(const char* name) {
  ::unsetenv(name);
}

std::string currentThreadName() {
  std::string name(16, '\0');
  ::pthread_getname_np(::pthread_self(), name.data(), name.size());
  name.resize(name.find('\0'));
  return name;
}

#endif

}  // namespace zarvi::testing
