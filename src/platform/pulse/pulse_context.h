#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zarvi::pulse {

using Deadline = std::chrono::steady_clock::time_point;

// No single wait on the sound server takes longer than this: a frozen server fails the step instead
// of holding the control queue.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

inline Deadline deadlineFromNow() {
  return std::chrono::steady_clock::now() + kServerTimeout;
}

// One connection to the sound server: a threaded mainloop (its own named thread) and a context.
// Every call on the context, its streams and operations is made with the mainloop lock held.
class PulseContext {
 public:
  // Connects before the deadline; nullptr and the server's error text on failure.
  static std::shared_ptr<PulseContext> connect(const std::string& threadName, Deadline deadline,
                                               std::string& error);
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

  // With the lock held.
  bool alive() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }
  std::string lastError() const;

 private:
  PulseContext();

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool running_ = false;
};

std::string describePulseError(int code);

}  // namespace zarvi::pulse
