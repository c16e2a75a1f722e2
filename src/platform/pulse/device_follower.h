#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "platform/pulse/device_policy.h"
#include "platform/pulse/pulse_context.h"
#include "platform/pulse/pulse_recorder.h"
#include "runtime/serial_queue.h"

namespace zarvi::pulse {

// Keeps one source on the device its policy chooses while it captures: it listens to the server's
// changes, moves the recording when the choice changes, says when there is nothing to record and when
// there is again, and rebuilds a lost connection with a bounded back-off. All its work runs on the
// queue that also carries the source's blocks, so a device event always falls between two blocks.
class DeviceFollower {
 public:
  using Choose = DeviceChoice (*)(const ServerDevices&);
  using RequestFor = std::function<PulseRecorder::Request(const ChosenDevice&)>;
  // On the queue. device is the device recorded from now on for switched and resumed, else null.
  using ChangeHandler = std::function<void(platform::DeviceChange change, const std::string& description,
                                           const ChosenDevice* device)>;

  DeviceFollower(std::string threadName, runtime::SerialQueue& queue, Choose choose, RequestFor requestFor,
                 PulseRecorder::BlockHandler onBlock, ChangeHandler onChange);
  ~DeviceFollower();
  DeviceFollower(const DeviceFollower&) = delete;
  DeviceFollower& operator=(const DeviceFollower&) = delete;

  // Not on the queue: records the device over the connection and follows from then on; the error's
  // description when the first recording cannot start (then it does not follow, and stop() gives the
  // connection back).
  std::optional<std::string> start(std::shared_ptr<PulseContext> context, const ChosenDevice& device);
  // Not on the queue: when it returns, no handler of this follower runs or will run. Gives back the
  // connection it ended with (null when it had none), which may be newer than the one it started with.
  std::shared_ptr<PulseContext> stop();

  struct State;  // internal: what the server's callbacks and the queue's work share

 private:
  std::shared_ptr<State> state_;
};

}  // namespace zarvi::pulse
