#pragma once

#include <mutex>

#include "platform/device_change.h"

namespace zarvi {

// Holds a source's device events back while a start is under way. A source that did not start
// follows its device from then on and may find it at once; its "resumed" must come after the events
// of the start that reported the failure, and find the source's state as the start left it.
class StartGate {
 public:
  // Held by the thread that starts, for as long as the start's events are written; that thread may
  // take it again inside.
  std::unique_lock<std::recursive_mutex> holdForStart() { return std::unique_lock(mutex_); }

  // The handler, called once no start is under way.
  platform::DeviceChangeHandler afterStart(platform::DeviceChangeHandler handler) {
    return [this, handler = std::move(handler)](const platform::DeviceEvent& event) {
      const std::lock_guard<std::recursive_mutex> waitForStart(mutex_);
      handler(event);
    };
  }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace zarvi
