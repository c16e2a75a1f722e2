#include "os/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include "os/standard_streams.h"

namespace zarvi::os {
namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

// Blocked in the main thread before any other exists, so that every thread inherits the mask and
// the signals are only ever taken by sigwait: nothing runs inside a signal handler.
void holdStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void waitForStopSignals(const std::function<void()>& onFirst) {
  const sigset_t set = stopSignals();
  bool first = true;
  for (;;) {
    int number = 0;
    if (sigwait(&set, &number) != 0) continue;
    if (!first) exitProcess(128 + number);
    first = false;
    onFirst();
  }
}

}  // namespace zarvi::os
