#include "platform/pulse/device_follower.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/pulse/pulse_queries.h"

namespace zarvi::pulse {

struct DeviceFollower::State : std::enable_shared_from_this<State> {
  State(std::string threadName, runtime::SerialQueue& queue, Choose choose, RequestFor requestFor,
        PulseRecorder::BlockHandler onBlock, ChangeHandler onChange)
      : threadName(std::move(threadName)),
        queue(queue),
        choose(choose),
        requestFor(std::move(requestFor)),
        onBlock(std::move(onBlock)),
        onChange(std::move(onChange)) {}

  // Any thread, the server's included: at most one reconsideration waits on the queue at a time.
  void queueReconsider() {
    if (reconsiderQueued.exchange(true)) return;
    queue.async([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->reconsiderAfterNews();
    });
  }

  // Everything below runs on the queue.

  // The server's news may come before what it announces can be read: PipeWire reports a new default
  // when it is asked for, and its session manager puts it in place a moment later, sometimes with no
  // news of its own. A change that moved nothing is looked at once more a moment later.
  void reconsiderAfterNews() {
    if (reconsider() == FollowStep::stay) lookAgainAfter(kSettleDelay);
  }

  void watch(const std::shared_ptr<PulseContext>& watched) {
    PulseContext::Lock hold(*watched);
    watched->setChangeHandler([this] { queueReconsider(); });
  }

  // The connection goes, and with it any recording over it. Its handler is cleared first: a callback
  // never reaches a follower that is gone.
  void dropConnection() {
    recorder.reset();
    if (!context) return;
    {
      PulseContext::Lock hold(*context);
      context->setChangeHandler(nullptr);
    }
    context.reset();
  }

  bool open(const ChosenDevice& device, std::string& error) {
    recorder = PulseRecorder::open(
        context, requestFor(device), queue, onBlock, [this] { queueReconsider(); }, deadlineFromNow(), error);
    return recorder != nullptr;
  }

  void lose(const std::string& why) {
    recorder.reset();
    if (!recording) return;
    recording.reset();
    onChange(platform::DeviceChange::lost, why, nullptr);
  }

  void lookAgainAfter(std::chrono::milliseconds delay) {
    if (lookAgainQueued) return;
    lookAgainQueued = true;
    queue.asyncAfter(delay, [weak = weak_from_this(), run = run] {
      const auto self = weak.lock();
      if (!self || self->run != run) return;
      self->lookAgainQueued = false;
      self->reconsider();
    });
  }

  // Each failure in a row waits twice as long, up to the longest delay.
  void retryLater() {
    lookAgainAfter(nextDelay);
    nextDelay = std::min(nextDelay * 2, std::chrono::milliseconds(kRetryLongestDelay));
  }

  bool connectionAlive() {
    if (!context) return false;
    PulseContext::Lock hold(*context);
    return context->alive();
  }

  // What it did.
  FollowStep reconsider() {
    reconsiderQueued = false;
    if (!following) return FollowStep::stay;
    std::string error;
    if (!connectionAlive()) {
      if (context) {
        PulseContext::Lock hold(*context);
        error = context->lastError();
      }
      lose(error);
      dropConnection();
      context = PulseContext::connect(threadName, deadlineFromNow(), error);
      if (!context) {
        retryLater();
        return FollowStep::lose;
      }
      watch(context);
    }
    std::optional<ServerDevices> devices;
    {
      PulseContext::Lock hold(*context);
      devices = queryDevices(*context, deadlineFromNow(), error);
    }
    if (!devices) {
      // The connection is going: its failure brings us back here, or the retry does.
      retryLater();
      return FollowStep::lose;
    }
    const FollowDecision decision =
        decideNextStep({recording, recorder != nullptr && !recorder->died(), lossPending}, choose(*devices));
    lossPending = decision.step == FollowStep::settle;
    switch (decision.step) {
      case FollowStep::stay:
        nextDelay = kRetryFirstDelay;
        return decision.step;
      case FollowStep::settle:
        recorder.reset();
        lookAgainAfter(kSettleDelay);
        return decision.step;
      case FollowStep::lose:
        lose(decision.why);
        return decision.step;
      case FollowStep::reopen:
      case FollowStep::switchTo:
      case FollowStep::resume:
        break;
    }
    const ChosenDevice& device = *decision.device;
    recorder.reset();
    if (!open(device, error)) {
      lose(error);
      retryLater();
      return FollowStep::lose;
    }
    recording = device;
    nextDelay = kRetryFirstDelay;
    if (decision.step != FollowStep::reopen) {
      onChange(decision.step == FollowStep::resume ? platform::DeviceChange::resumed
                                                   : platform::DeviceChange::switched,
               device.description, &device);
    }
    return decision.step;
  }

  const std::string threadName;
  runtime::SerialQueue& queue;
  const Choose choose;
  const RequestFor requestFor;
  const PulseRecorder::BlockHandler onBlock;
  const ChangeHandler onChange;

  std::atomic<bool> reconsiderQueued{false};
  // On the queue only.
  bool following = false;
  std::uint64_t run = 0;  // counts starts and stops: a retry of an earlier run does nothing
  bool lookAgainQueued = false;
  bool lossPending = false;
  std::chrono::milliseconds nextDelay = kRetryFirstDelay;
  std::shared_ptr<PulseContext> context;
  std::optional<ChosenDevice> recording;
  std::unique_ptr<PulseRecorder> recorder;  // declared last: it stops before the rest goes
};

DeviceFollower::DeviceFollower(std::string threadName, runtime::SerialQueue& queue, Choose choose,
                               RequestFor requestFor, PulseRecorder::BlockHandler onBlock,
                               ChangeHandler onChange)
    : state_(std::make_shared<State>(std::move(threadName), queue, choose, std::move(requestFor),
                                     std::move(onBlock), std::move(onChange))) {}

DeviceFollower::~DeviceFollower() {
  stop();
}

std::optional<std::string> DeviceFollower::start(std::shared_ptr<PulseContext> context,
                                                 const ChosenDevice& device) {
  std::optional<std::string> failure;
  state_->queue.sync([&] {
    State& state = *state_;
    ++state.run;
    state.lookAgainQueued = false;
    state.lossPending = false;
    state.nextDelay = kRetryFirstDelay;
    state.context = std::move(context);
    std::string error;
    if (!state.context || !state.open(device, error)) {
      failure = state.context ? error : describePulseError(PA_ERR_CONNECTIONREFUSED);
      return;  // the connection stays, for stop() to give back
    }
    state.watch(state.context);
    state.recording = device;
    state.following = true;
  });
  // A change between the choice of the device and the open is not missed.
  if (!failure) state_->queueReconsider();
  return failure;
}

std::shared_ptr<PulseContext> DeviceFollower::stop() {
  std::shared_ptr<PulseContext> context;
  state_->queue.sync([&] {
    State& state = *state_;
    ++state.run;
    state.following = false;
    state.recording.reset();
    state.recorder.reset();
    if (state.context) {
      PulseContext::Lock hold(*state.context);
      state.context->setChangeHandler(nullptr);
    }
    context = std::move(state.context);
  });
  return context;
}

}  // namespace zarvi::pulse
