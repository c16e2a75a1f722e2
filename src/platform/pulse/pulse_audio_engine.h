#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "platform/pulse/device_follower.h"
#include "platform/pulse/pulse_context.h"
#include "runtime/serial_queue.h"
#include "platform/tap_delivery.h"

namespace zarvi::pulse {

// The microphone: the server's default source, recorded as float at its own rate and channel count
// and handed to the tap as planar channel runs, in blocks that convert to whole 16 kHz samples.
// A default source that is the monitor of a sink is no microphone: it is treated as no input device.
// While it runs it follows the default source (chooseMicrophone), with each device's own format.
class PulseAudioEngine : public platform::AudioEngine {
 public:
  platform::InputFormat inputFormat() override;
  void installTap(std::uint32_t bufferFrames, const platform::InputFormat& format,
                  platform::TapBlock block) override;
  void removeTap() override;
  std::optional<std::string> start(platform::DeviceChangeHandler onDeviceChange) override;
  void stop() override;

 private:
  PulseRecorder::Request requestFor(const ChosenDevice& device) const;
  void onDeviceChange(platform::DeviceChange change, const std::string& description,
                      const ChosenDevice* device);

  std::shared_ptr<PulseContext> context_;
  std::optional<ChosenDevice> device_;  // chosen by inputFormat()
  std::optional<std::string> formatError_;
  std::uint32_t preferredFrames_ = 0;

  platform::TapDelivery tap_;
  platform::DeviceChangeHandler onDeviceChange_;  // delivery thread only, once started

  runtime::SerialQueue delivery_{"zarvi.mic"};
  // Declared last: it stops before the queue and the tap go.
  DeviceFollower follower_{
      "pulse-mic",
      delivery_,
      chooseMicrophone,
      [this](const ChosenDevice& device) { return requestFor(device); },
      [this](const float* interleaved, std::size_t frames) { tap_.deliver(interleaved, frames); },
      [this](platform::DeviceChange change, const std::string& description, const ChosenDevice* device) {
        onDeviceChange(change, description, device);
      }};
};

}  // namespace zarvi::pulse
