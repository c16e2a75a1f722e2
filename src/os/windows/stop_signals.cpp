#include "os/stop_signals.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "os/standard_streams.h"

namespace zarvi::os {
namespace {

// The console's handler runs on a thread of its own; it only counts the request for the main thread.
struct Requests {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  int status = 0;
};

Requests& requests() {
  static Requests shared;
  return shared;
}

BOOL WINAPI onConsoleControl(DWORD type) {
  int status = 0;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      status = 128 + 2;
      break;
    case CTRL_CLOSE_EVENT:
      status = 128 + 1;
      break;
    default:
      return FALSE;
  }
  Requests& shared = requests();
  const std::lock_guard<std::mutex> hold(shared.mutex);
  ++shared.count;
  shared.status = status;
  shared.arrived.notify_all();
  return TRUE;
}

}  // namespace

void holdStopSignals() {
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void waitForStopSignals(const std::function<void()>& onFirst) {
  Requests& shared = requests();
  std::unique_lock<std::mutex> hold(shared.mutex);
  shared.arrived.wait(hold, [&] { return shared.count >= 1; });
  hold.unlock();
  onFirst();
  hold.lock();
  shared.arrived.wait(hold, [&] { return shared.count >= 2; });
  exitProcess(shared.status);
}

}  // namespace zarvi::os
