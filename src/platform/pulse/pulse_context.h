#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/follow/follow_policy.h"

namespace zarvi::pulse {

using Deadline = std::chrono::steady_clock::time_point;

// No single wait on the sound server takes longer than this: a frozen server fails the step instead
// of holding the control queue.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

inline Deadline deadlineFromNow() {
  return std::chrono::steady_clock::now() + kServerTimeout;
}

// One connection to the sound server: a threaded mainloop (its own named thread) and a context,
// subscribed to the server's changes of defaults, sources and sinks. Every call on the context, its
// streams and operations is made with the mainloop lock held.
class PulseContext {
 public:
  // Connects before the deadline.
  static Result<std::shared_ptr<PulseContext>> connect(const std::string& threadName, Deadline deadline);
  ~PulseContext();
  PulseContext(const PulseContext&) = delete;
  PulseContext& operator=(const PulseContext&) = delete;

  class Lock {
   public:
    explicit Lock(PulseContext& owner) : mainloop_(owner.mainloop_) { pa_threaded_mainloop_lock(mainloop_); }
    ~Lock() { pa_threaded_mainloop_unlock(mainloop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  pa_context* context() const { return context_; }
  // Wakes the waiters; callable on the mainloop thread.
  void signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

  // With the lock held: waits until done() holds or the deadline passes; false on the deadline.
  bool waitUntil(const std::function<bool()>& done, Deadline deadline);
  // With the lock held: waits for the operation and releases it; false unless it completed.
  bool await(pa_operation* operation, Deadline deadline);

  // With the lock held. The handler runs on the mainloop thread, with the lock held, whenever the
  // server's defaults change, a source or sink comes or goes, or the connection fails; it must only
  // hand the news on. An empty handler hears nothing.
  void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

  // With the lock held.
  bool alive() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }
  Failure lastError() const;

 private:
  PulseContext();
  void notifyChange() {
    if (changeHandler_) changeHandler_();
  }

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool running_ = false;
  std::function<void()> changeHandler_;
};

Failure describePulseError(int code);

}  // namespace zarvi::pulse
