#include "platform/wasapi/com.h"

#include <audioclient.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace zarvi::wasapi {
namespace {

struct KnownResult {
  HRESULT result;
  const char* text;
};

// The audio client's own errors have no text in the system's message table; the class error has none
// in Wine's, which gives it when no audio driver is there at all.
constexpr std::array<KnownResult, 21> kKnownResults{{
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG: class not registered (no audio device driver)"},
    {AUDCLNT_E_NOT_INITIALIZED, "AUDCLNT_E_NOT_INITIALIZED: the audio stream has not been initialized"},
    {AUDCLNT_E_ALREADY_INITIALIZED, "AUDCLNT_E_ALREADY_INITIALIZED: the audio stream is already initialized"},
    {AUDCLNT_E_WRONG_ENDPOINT_TYPE, "AUDCLNT_E_WRONG_ENDPOINT_TYPE: the endpoint cannot do this"},
    {AUDCLNT_E_DEVICE_INVALIDATED,
     "AUDCLNT_E_DEVICE_INVALIDATED: the audio device was unplugged, disabled or reconfigured"},
    {AUDCLNT_E_NOT_STOPPED, "AUDCLNT_E_NOT_STOPPED: the audio stream was not stopped"},
    {AUDCLNT_E_BUFFER_TOO_LARGE, "AUDCLNT_E_BUFFER_TOO_LARGE: the buffer is too large"},
    {AUDCLNT_E_OUT_OF_ORDER, "AUDCLNT_E_OUT_OF_ORDER: a buffer operation is out of order"},
    {AUDCLNT_E_UNSUPPORTED_FORMAT, "AUDCLNT_E_UNSUPPORTED_FORMAT: the audio format is not supported"},
    {AUDCLNT_E_INVALID_SIZE, "AUDCLNT_E_INVALID_SIZE: the buffer size is not valid"},
    {AUDCLNT_E_DEVICE_IN_USE, "AUDCLNT_E_DEVICE_IN_USE: the device is in exclusive use"},
    {AUDCLNT_E_BUFFER_OPERATION_PENDING, "AUDCLNT_E_BUFFER_OPERATION_PENDING: a buffer operation is pending"},
    {AUDCLNT_E_THREAD_NOT_REGISTERED, "AUDCLNT_E_THREAD_NOT_REGISTERED: the thread is not registered"},
    {AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED,
     "AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED: exclusive mode is switched off for the device"},
    {AUDCLNT_E_ENDPOINT_CREATE_FAILED, "AUDCLNT_E_ENDPOINT_CREATE_FAILED: the endpoint could not be created"},
    {AUDCLNT_E_SERVICE_NOT_RUNNING,
     "AUDCLNT_E_SERVICE_NOT_RUNNING: the Windows Audio service is not running"},
    {AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED,
     "AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED: the stream was not initialized for event-driven buffering"},
    {AUDCLNT_E_EVENTHANDLE_NOT_SET, "AUDCLNT_E_EVENTHANDLE_NOT_SET: no event handle was set"},
    {AUDCLNT_E_BUFFER_SIZE_ERROR, "AUDCLNT_E_BUFFER_SIZE_ERROR: the buffer size is wrong"},
    {AUDCLNT_E_CPUUSAGE_EXCEEDED,
     "AUDCLNT_E_CPUUSAGE_EXCEEDED: the audio engine used too much processor time"},
    {AUDCLNT_E_RESOURCES_INVALIDATED,
     "AUDCLNT_E_RESOURCES_INVALIDATED: the stream's resources were invalidated"},
}};

std::string systemMessage(HRESULT result) {
  wchar_t* message = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(result), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(&message), 0, nullptr);
  if (length == 0 || message == nullptr) return "unknown error";
  std::string text = toUtf8(message);
  ::LocalFree(message);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "unknown error" : text;
}

}  // namespace

Failure describeResult(HRESULT result) {
  const auto known = std::find_if(kKnownResults.begin(), kKnownResults.end(),
                                  [result](const KnownResult& entry) { return entry.result == result; });
  const std::string text = known != kKnownResults.end() ? known->text : systemMessage(result);
  std::array<char, 16> hex{};
  std::snprintf(hex.data(), hex.size(), "0x%08lX", static_cast<unsigned long>(result));
  return {text + " (" + hex.data() + ")"};
}

std::string toUtf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string utf8(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

std::wstring toWide(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

}  // namespace zarvi::wasapi
