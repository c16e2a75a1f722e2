#include "platform/pulse/pulse_context.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace zarvi::pulse {
namespace {

// Where libpulse looked for the server, as the person who has to start it or fix the address needs it.
std::string serverAddressTried() {
  if (const char* server = std::getenv("PULSE_SERVER"); server != nullptr && *server != '\0') {
    return std::string(server) + " (PULSE_SERVER)";
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    return "unix:" + std::string(runtime) + "/pulse/native (the default; PULSE_SERVER is not set)";
  }
  return "the default address (neither PULSE_SERVER nor XDG_RUNTIME_DIR is set)";
}

Failure noServer(const Failure& why) {
  return {"no sound server at " + serverAddressTried() + ": " + why.description};
}

}  // namespace

Failure describePulseError(int code) {
  return {pa_strerror(code)};
}

PulseContext::PulseContext() = default;

Result<std::shared_ptr<PulseContext>> PulseContext::connect(const std::string& threadName,
                                                            Deadline deadline) {
  std::shared_ptr<PulseContext> self(new PulseContext());
  self->mainloop_ = pa_threaded_mainloop_new();
  if (self->mainloop_ == nullptr) return describePulseError(PA_ERR_INTERNAL);
  pa_threaded_mainloop_set_name(self->mainloop_, threadName.c_str());
  self->context_ = pa_context_new(pa_threaded_mainloop_get_api(self->mainloop_), "zarvi-audio-capture");
  if (self->context_ == nullptr) return describePulseError(PA_ERR_INTERNAL);
  pa_context_set_state_callback(
      self->context_,
      [](pa_context* context, void* owner) {
        auto* self = static_cast<PulseContext*>(owner);
        self->signal();
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) self->notifyChange();
      },
      self.get());
  pa_context_set_subscribe_callback(
      self->context_,
      [](pa_context*, pa_subscription_event_type_t event, std::uint32_t, void* owner) {
        // A source or sink that changes its volume or state leaves the choice of devices as it was.
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER || kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
          static_cast<PulseContext*>(owner)->notifyChange();
        }
      },
      self.get());
  if (pa_context_connect(self->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return noServer(self->lastError());
  if (pa_threaded_mainloop_start(self->mainloop_) < 0) return describePulseError(PA_ERR_INTERNAL);
  self->running_ = true;

  Lock hold(*self);
  const bool settled = self->waitUntil(
      [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(self->context_)) || self->alive(); }, deadline);
  if (self->alive()) {
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK);
    if (pa_operation* subscribing = pa_context_subscribe(self->context_, mask, nullptr, nullptr)) {
      pa_operation_unref(subscribing);
    }
    return self;
  }
  return settled ? noServer(self->lastError()) : describePulseError(PA_ERR_TIMEOUT);
}

PulseContext::~PulseContext() {
  if (context_ != nullptr && running_) {
    Lock hold(*this);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
  }
  // Stopping joins the mainloop thread, so it must not be done with the lock held.
  if (running_) pa_threaded_mainloop_stop(mainloop_);
  if (context_ != nullptr) pa_context_unref(context_);
  if (mainloop_ != nullptr) pa_threaded_mainloop_free(mainloop_);
}

bool PulseContext::waitUntil(const std::function<bool()>& done, Deadline deadline) {
  struct Alarm {
    bool rang = false;
    PulseContext* owner;
  } alarm{false, this};
  const auto remaining = std::max(deadline - std::chrono::steady_clock::now(), Deadline::duration::zero());
  const auto usec =
      static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(remaining).count());
  pa_time_event* timer = pa_context_rttime_new(
      context_, pa_rtclock_now() + usec,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
        auto* ringing = static_cast<Alarm*>(data);
        ringing->rang = true;
        ringing->owner->signal();
      },
      &alarm);
  while (!done() && !alarm.rang) pa_threaded_mainloop_wait(mainloop_);
  if (timer != nullptr) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return done();
}

bool PulseContext::await(pa_operation* operation, Deadline deadline) {
  if (operation == nullptr) return false;
  waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, deadline);
  const bool completed = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return completed;
}

Failure PulseContext::lastError() const {
  return describePulseError(pa_context_errno(context_));
}

}  // namespace zarvi::pulse
