#include "platform/follow/followed_source.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace zarvi::platform {

struct FollowedSource::State : std::enable_shared_from_this<State> {
  State(runtime::SerialQueue& queue, DeviceSide& side, ShapeFor shapeFor, BlockHandler onBlock,
        ChangeHandler onChange, FollowTimings timings)
      : queue(queue),
        side(side),
        shapeFor(std::move(shapeFor)),
        onBlock(std::move(onBlock)),
        onChange(std::move(onChange)),
        timings(timings),
        nextDelay(timings.retryFirst) {}

  // Any thread, the system's own included: at most one reconsideration waits on the queue at a time.
  void queueReconsider() {
    if (reconsiderQueued.exchange(true)) return;
    queue.async([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->reconsiderAfterNews();
    });
  }

  // Everything below runs on the queue.

  // News may come before what it announces can be read: PipeWire reports a new default when it is
  // asked for, and its session manager puts it in place a moment later, sometimes with no news of its
  // own. News that moved nothing is looked at once more a moment later.
  void reconsiderAfterNews() {
    if (reconsider() == FollowStep::stay) lookAgainAfter(timings.settle);
  }

  // The side's choice, whether there is no device or the side could not be asked.
  DeviceChoice lookForDevice() {
    auto look = side.lookAtDevices();
    if (!look) return look.failure();
    return std::move(look).value();
  }

  Result<> open(const ChosenDevice& device) {
    auto cutter = std::make_shared<BlockCutter>(shapeFor(device), queue, onBlock, [weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->queueReconsider();
    });
    auto opened = side.record(device, cutter);
    if (!opened) {
      cutter->stop();
      return opened.failure();
    }
    recorder = std::move(opened.value());
    this->cutter = std::move(cutter);
    return {};
  }

  // Stops the recording: nothing of it is handed on afterwards.
  void endRecording() {
    if (cutter) cutter->stop();
    recorder.reset();
    cutter.reset();
  }

  void lose(const std::string& why) {
    endRecording();
    if (!recording) return;
    recording.reset();
    onChange(DeviceChange::lost, why, nullptr);
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
    nextDelay = std::min(nextDelay * 2, timings.retryLongest);
  }

  // A new run of following, with nothing recorded yet.
  void beginFollowing() {
    ++run;
    lookAgainQueued = false;
    lossPending = false;
    nextDelay = timings.retryFirst;
    recording.reset();
    following = true;
    (void)startWatching();
  }

  // A source that cannot record its first device follows as one that was lost: it comes back by
  // itself once the device (or its connection) is there.
  Result<> begin(const DeviceChoice& chosen) {
    beginFollowing();
    Result<> outcome = chosen ? open(chosen.value()) : Result<>(chosen.failure());
    if (outcome) {
      outcome = startWatching();
      if (!outcome) endRecording();
    }
    if (outcome) recording = chosen.value();
    return outcome;
  }

  Result<> startWatching() {
    if (watching) return {};
    auto watched = side.watch([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->queueReconsider();
    });
    watching = watched.ok();
    return watched;
  }

  // What it did.
  FollowStep reconsider() {
    reconsiderQueued = false;
    if (!following) return FollowStep::stay;
    if (!watching && !startWatching()) {
      // Without news only the retries bring the device back.
      retryLater();
      return FollowStep::lose;
    }
    if (const auto gone = side.connectionLost()) lose(gone->description);
    const auto look = side.lookAtDevices();
    if (!look) {
      // The connection is gone or going: its failure brings us back here, or the retry does.
      retryLater();
      return FollowStep::lose;
    }
    const FollowDecision decision =
        decideNextStep({recording, cutter != nullptr && !cutter->died(), lossPending}, look.value());
    lossPending = decision.step == FollowStep::settle;
    switch (decision.step) {
      case FollowStep::stay:
        nextDelay = timings.retryFirst;
        return decision.step;
      case FollowStep::settle:
        endRecording();
        lookAgainAfter(timings.settle);
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
    endRecording();
    if (auto opened = open(device); !opened) {
      lose(opened.error());
      retryLater();
      return FollowStep::lose;
    }
    recording = device;
    nextDelay = timings.retryFirst;
    if (decision.step != FollowStep::reopen) {
      onChange(decision.step == FollowStep::resume ? DeviceChange::resumed : DeviceChange::switched,
               device.description, &device);
    }
    return decision.step;
  }

  runtime::SerialQueue& queue;
  DeviceSide& side;
  const ShapeFor shapeFor;
  const BlockHandler onBlock;
  const ChangeHandler onChange;
  const FollowTimings timings;

  std::atomic<bool> reconsiderQueued{false};
  // On the queue only.
  bool following = false;
  bool watching = false;
  std::uint64_t run = 0;  // counts starts and stops: a retry of an earlier run does nothing
  bool lookAgainQueued = false;
  bool lossPending = false;
  std::chrono::milliseconds nextDelay;
  std::optional<ChosenDevice> recording;
  std::shared_ptr<BlockCutter> cutter;
  std::unique_ptr<Recording> recorder;
};

FollowedSource::FollowedSource(runtime::SerialQueue& queue, DeviceSide& side, ShapeFor shapeFor,
                               BlockHandler onBlock, ChangeHandler onChange, FollowTimings timings)
    : state_(std::make_shared<State>(queue, side, std::move(shapeFor), std::move(onBlock),
                                     std::move(onChange), timings)) {}

FollowedSource::~FollowedSource() {
  stop();
}

Result<DeviceChoice> FollowedSource::lookAtDevices() {
  std::optional<Result<DeviceChoice>> look;
  state_->queue.sync([&] { look.emplace(state_->side.lookAtDevices()); });
  return std::move(*look);
}

Result<> FollowedSource::start(const std::optional<DeviceChoice>& device) {
  Result<> outcome;
  state_->queue.sync([&] { outcome = state_->begin(device ? *device : state_->lookForDevice()); });
  // A change between the choice of the device and the start of the watch is not missed, and a source
  // that could not start looks again at once.
  state_->queueReconsider();
  return outcome;
}

void FollowedSource::followFromLost() {
  state_->queue.sync([&] { state_->beginFollowing(); });
  state_->queueReconsider();
}

void FollowedSource::stop() {
  state_->queue.sync([&] {
    State& state = *state_;
    ++state.run;
    state.following = false;
    state.recording.reset();
    state.endRecording();
    state.watching = false;
    state.side.stopWatching();
  });
}

}  // namespace zarvi::platform
