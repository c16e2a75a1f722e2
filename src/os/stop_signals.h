#pragma once

#include <functional>

namespace zarvi::os {

// The requests to end that a service manager, a terminal or a user sends: SIGTERM, SIGINT and SIGHUP
// on POSIX systems; Ctrl-C, Ctrl-Break and the closing of the console on Windows.

// First thing in main, before any thread is made: from now on those requests wait for
// waitForStopSignals instead of ending the process where it stands.
void holdStopSignals();

// The main thread's last work. The first request calls onFirst, which must not block; a second one
// ends the process at once with status 128 plus the signal's number (130 for Ctrl-C on Windows).
// The process otherwise ends only through an explicit exit.
[[noreturn]] void waitForStopSignals(const std::function<void()>& onFirst);

}  // namespace zarvi::os
