#pragma once

#include <memory>
#include <optional>

#include "platform/capture_service.h"
#include "platform/follow/device_side.h"
#include "platform/follow/followed_source.h"

namespace zarvi::platform {

// The system-audio stream of every backend: the device its side chooses, recorded as interleaved float
// frames in 10 ms sample buffers that describe their format, handed to the audio output on its queue;
// from then on it follows the side's choice. The screen output never receives anything.
class FollowedCaptureStream : public CaptureStream {
 public:
  // startDevice: the device to record first; the side's choice when none is given.
  FollowedCaptureStream(std::unique_ptr<DeviceSide> side, std::optional<ChosenDevice> startDevice,
                        FollowTimings timings = {});

  Result<> addOutput(StreamOutput& output, OutputType type, runtime::SerialQueue& queue) override;
  void startCapture(Completion completion, DeviceChangeHandler onDeviceChange) override;
  void watchForOutput(DeviceChangeHandler onDeviceChange) override;
  void stopCapture(Completion completion) override;

 private:
  // False when there is no audio output to hand the blocks to.
  bool makeSource(DeviceChangeHandler onDeviceChange);
  void deliver(const InterleavedBlock& block);

  std::unique_ptr<DeviceSide> side_;
  const std::optional<ChosenDevice> startDevice_;
  const FollowTimings timings_;
  StreamOutput* audioOutput_ = nullptr;
  runtime::SerialQueue* audioQueue_ = nullptr;
  std::unique_ptr<FollowedSource> source_;  // declared last: it stops before the rest goes
};

// The stream basic description of packed, interleaved 32-bit float frames in native byte order.
StreamBasicDescription describeInterleavedFloat(double sampleRate, std::uint32_t channels);

}  // namespace zarvi::platform
