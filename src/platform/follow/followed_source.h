#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "platform/follow/block_cutter.h"
#include "platform/follow/device_side.h"
#include "platform/follow/follow_policy.h"
#include "runtime/result.h"
#include "runtime/serial_queue.h"

namespace zarvi::platform {

// Keeps one source on the device its backend side chooses while it captures, the same on every
// backend: it listens to the side's news, moves the recording when the choice changes, waits a moment
// for the system to name a new device before it reports a loss, says when there is nothing to record
// and when there is again, and tries again with a bounded back-off when a device (or the connection)
// will not open. All its work runs on the queue that also carries the source's blocks, so that a
// device event always falls between two blocks.
class FollowedSource {
 public:
  // The shape of a device's blocks, on the queue, just before its recording starts.
  using ShapeFor = std::function<BlockShape(const ChosenDevice&)>;
  // On the queue. device is the device recorded from now on for switched and resumed, else null;
  // description is its description, or why it was lost.
  using ChangeHandler =
      std::function<void(DeviceChange change, const std::string& description, const ChosenDevice* device)>;

  // The side must outlive the source.
  FollowedSource(runtime::SerialQueue& queue, DeviceSide& side, ShapeFor shapeFor, BlockHandler onBlock,
                 ChangeHandler onChange, FollowTimings timings = {});
  ~FollowedSource();
  FollowedSource(const FollowedSource&) = delete;
  FollowedSource& operator=(const FollowedSource&) = delete;

  // Not on the queue, while not following: the side's look at the devices.
  Result<DeviceChoice> lookAtDevices();
  // Not on the queue: records the device (the side's choice when none is given) and follows from
  // then on. When the first recording cannot start it says why, and follows as a source that was
  // lost: it reports resumed once a device can be recorded. stop() ends the following either way.
  Result<> start(const std::optional<DeviceChoice>& device);
  // Not on the queue: follows as a source that was lost, with no first recording of its own.
  void followFromLost();
  // Not on the queue: when it returns, no handler of this source runs or will run.
  void stop();

  struct State;  // internal: what the side's news and the queue's work share

 private:
  std::shared_ptr<State> state_;
};

}  // namespace zarvi::platform
