#include "platform/wasapi/endpoint_follower.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace zarvi::wasapi {

struct EndpointFollower::State : std::enable_shared_from_this<State> {
  State(runtime::SerialQueue& queue, EDataFlow watchedFlow, Choose choose, RequestFor requestFor,
        WasapiRecorder::BlockHandler onBlock, ChangeHandler onChange)
      : queue(queue),
        watchedFlow(watchedFlow),
        choose(choose),
        requestFor(std::move(requestFor)),
        onBlock(std::move(onBlock)),
        onChange(std::move(onChange)) {}

  // Any thread, the system's notification thread included: at most one reconsideration waits on the
  // queue at a time.
  void queueReconsider() {
    if (reconsiderQueued.exchange(true)) return;
    queue.async([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->reconsider();
    });
  }

  // Everything below runs on the queue.

  bool open(const ChosenDevice& device, std::string& error) {
    recorder = WasapiRecorder::open(
        *endpoints, requestFor(device), queue, onBlock, [this] { queueReconsider(); }, error);
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
    nextDelay = std::min(nextDelay * 2, std::chrono::milliseconds(platform::kRetryLongestDelay));
  }

  void reconsider() {
    reconsiderQueued = false;
    if (!following) return;
    const ComScope com;
    const platform::FollowDecision decision = platform::decideNextStep(
        {recording, recorder != nullptr && !recorder->died(), lossPending}, choose(*endpoints));
    lossPending = decision.step == platform::FollowStep::settle;
    switch (decision.step) {
      case platform::FollowStep::stay:
        nextDelay = platform::kRetryFirstDelay;
        return;
      case platform::FollowStep::settle:
        recorder.reset();
        lookAgainAfter(platform::kSettleDelay);
        return;
      case platform::FollowStep::lose:
        lose(decision.why);
        return;
      case platform::FollowStep::reopen:
      case platform::FollowStep::switchTo:
      case platform::FollowStep::resume:
        break;
    }
    const ChosenDevice& device = *decision.device;
    recorder.reset();
    std::string error;
    if (!open(device, error)) {
      lose(error);
      retryLater();
      return;
    }
    recording = device;
    nextDelay = platform::kRetryFirstDelay;
    if (decision.step != platform::FollowStep::reopen) {
      onChange(decision.step == platform::FollowStep::resume ? platform::DeviceChange::resumed
                                                             : platform::DeviceChange::switched,
               device.description, &device);
    }
  }

  runtime::SerialQueue& queue;
  const EDataFlow watchedFlow;
  const Choose choose;
  const RequestFor requestFor;
  const WasapiRecorder::BlockHandler onBlock;
  const ChangeHandler onChange;

  std::atomic<bool> reconsiderQueued{false};
  // On the queue only.
  bool following = false;
  std::uint64_t run = 0;  // counts starts and stops: a retry of an earlier run does nothing
  bool lookAgainQueued = false;
  bool lossPending = false;
  std::chrono::milliseconds nextDelay = platform::kRetryFirstDelay;
  std::unique_ptr<Endpoints> endpoints;
  std::unique_ptr<EndpointWatch> watch;
  std::optional<ChosenDevice> recording;
  std::unique_ptr<WasapiRecorder> recorder;  // declared last: it stops before the rest goes
};

EndpointFollower::EndpointFollower(runtime::SerialQueue& queue, EDataFlow watchedFlow, Choose choose,
                                   RequestFor requestFor, WasapiRecorder::BlockHandler onBlock,
                                   ChangeHandler onChange)
    : state_(std::make_shared<State>(queue, watchedFlow, choose, std::move(requestFor), std::move(onBlock),
                                     std::move(onChange))) {}

EndpointFollower::~EndpointFollower() {
  stop();
}

std::optional<std::string> EndpointFollower::start(const std::optional<ChosenDevice>& device) {
  std::optional<std::string> failure;
  state_->queue.sync([&] {
    State& state = *state_;
    const ComScope com;
    ++state.run;
    state.lookAgainQueued = false;
    state.lossPending = false;
    state.nextDelay = platform::kRetryFirstDelay;
    std::string error;
    state.endpoints = Endpoints::create(error);
    if (!state.endpoints) {
      failure = error;
      return;
    }
    DeviceChoice choice = device ? DeviceChoice{*device} : state.choose(*state.endpoints);
    const auto* chosen = std::get_if<ChosenDevice>(&choice);
    if (chosen == nullptr) {
      failure = std::get<std::string>(choice);
    } else if (!state.open(*chosen, error)) {
      failure = error;
    } else {
      state.watch = EndpointWatch::start(
          *state.endpoints, state.watchedFlow,
          [weak = state.weak_from_this()] {
            if (const auto self = weak.lock()) self->queueReconsider();
          },
          error);
      if (!state.watch) failure = error;
    }
    if (failure) {
      state.recorder.reset();
      state.endpoints.reset();
      return;
    }
    state.recording = *chosen;
    state.following = true;
  });
  // A change between the choice of the device and the start of the watch is not missed.
  if (!failure) state_->queueReconsider();
  return failure;
}

void EndpointFollower::stop() {
  state_->queue.sync([&] {
    State& state = *state_;
    const ComScope com;
    ++state.run;
    state.following = false;
    state.recording.reset();
    state.recorder.reset();
    state.watch.reset();
    state.endpoints.reset();
  });
}

}  // namespace zarvi::wasapi
