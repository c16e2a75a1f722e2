#include "os/thread_name.h"

#include <windows.h>

namespace zarvi::os {

// SetThreadDescription came with Windows 10 1607; on an older system threads stay unnamed.
void nameCurrentThread(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto setDescription = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  if (setDescription == nullptr) return;
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  if (length <= 0) return;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), length);
  setDescription(::GetCurrentThread(), wide.c_str());
}

}  // namespace zarvi::os
