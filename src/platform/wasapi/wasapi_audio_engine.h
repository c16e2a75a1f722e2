#pragma once

#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "runtime/serial_queue.h"
#include "platform/tap_delivery.h"
#include "platform/wasapi/endpoint_follower.h"

namespace zarvi::wasapi {

// The microphone: the default capture endpoint, recorded as float at its mix rate and channel count
// and handed to the tap as planar channel runs, in blocks that convert to whole 16 kHz samples. While
// it runs it follows the default capture endpoint, with each endpoint's own format.
class WasapiAudioEngine : public platform::AudioEngine {
 public:
  platform::InputFormat inputFormat() override;
  void installTap(std::uint32_t bufferFrames, const platform::InputFormat& format,
                  platform::TapBlock block) override;
  void removeTap() override;
  std::optional<std::string> start(platform::DeviceChangeHandler onDeviceChange) override;
  void stop() override;

 private:
  WasapiRecorder::Request requestFor(const ChosenDevice& device) const;
  void onDeviceChange(platform::DeviceChange change, const std::string& description,
                      const ChosenDevice* device);

  std::optional<ChosenDevice> device_;  // chosen by inputFormat()
  std::optional<std::string> formatError_;
  std::uint32_t preferredFrames_ = 0;

  platform::TapDelivery tap_;
  platform::DeviceChangeHandler onDeviceChange_;  // delivery thread only, once started

  runtime::SerialQueue delivery_{"zarvi.mic"};
  // Declared last: it stops before the queue and the tap go.
  EndpointFollower follower_{
      delivery_,
      eCapture,
      chooseMicrophone,
      [this](const ChosenDevice& device) { return requestFor(device); },
      [this](const float* interleaved, std::size_t frames) { tap_.deliver(interleaved, frames); },
      [this](platform::DeviceChange change, const std::string& description, const ChosenDevice* device) {
        onDeviceChange(change, description, device);
      }};
};

}  // namespace zarvi::wasapi
