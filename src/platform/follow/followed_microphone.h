#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/follow/device_side.h"
#include "platform/follow/followed_source.h"
#include "runtime/serial_queue.h"

namespace zarvi::platform {

// The microphone of every backend: the device its side chooses, recorded as float at the device's own
// rate and channel count and handed to the tap as planar channel runs, in blocks that convert to whole
// 16 kHz samples. While it runs it follows the side's choice, with each device's own format.
class FollowedMicrophone : public AudioEngine {
 public:
  explicit FollowedMicrophone(std::unique_ptr<DeviceSide> side, FollowTimings timings = {});

  InputFormat inputFormat() override;
  void installTap(std::uint32_t bufferFrames, const InputFormat& format, TapBlock block) override;
  void removeTap() override;
  Result<> start(DeviceChangeHandler onDeviceChange) override;
  void stop() override;

 private:
  BlockShape shapeFor(const ChosenDevice& device) const;
  void deliver(const InterleavedBlock& block);
  void onDeviceChange(DeviceChange change, const std::string& description, const ChosenDevice* device);

  std::unique_ptr<DeviceSide> side_;
  std::optional<Result<ChosenDevice>> device_;  // what inputFormat() found
  std::uint32_t preferredFrames_ = 0;

  std::mutex tapMutex_;  // held while the tap runs, so that removeTap() waits for a running call
  TapBlock tap_;

  // The delivery thread only.
  DeviceChangeHandler onDeviceChange_;
  std::vector<float> planar_;
  std::vector<const float*> channelRuns_;

  runtime::SerialQueue delivery_{"zarvi.mic"};
  // Declared last: it stops before the queue, the tap and the side go.
  FollowedSource source_;
};

}  // namespace zarvi::platform
