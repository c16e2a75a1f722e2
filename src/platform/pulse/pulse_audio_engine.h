#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/pulse/pulse_context.h"
#include "platform/pulse/pulse_recorder.h"
#include "platform/serial_queue.h"

namespace zarvi::pulse {

// The microphone: the server's default source, recorded as float at its own rate and channel count
// and handed to the tap as planar channel runs, in blocks that convert to whole 16 kHz samples.
// A default source that is the monitor of a sink is no microphone: it is treated as no input device.
class PulseAudioEngine : public platform::AudioEngine {
 public:
  platform::InputFormat inputFormat() override;
  void installTap(std::uint32_t bufferFrames, const platform::InputFormat& format,
                  platform::TapBlock block) override;
  void removeTap() override;
  std::optional<std::string> start(platform::FailureHandler onFailure) override;
  void stop() override;

 private:
  void deliver(const float* interleaved, std::size_t frames);

  std::shared_ptr<PulseContext> context_;
  std::string sourceName_;
  pa_sample_spec sampleSpec_{};
  std::optional<std::string> formatError_;
  std::uint32_t blockFrames_ = 0;

  std::mutex tapMutex_;  // held while the tap runs, so removeTap waits for a running call
  platform::TapBlock tap_;

  std::vector<float> planar_;  // delivery thread only
  std::vector<const float*> channelRuns_;
  platform::SerialQueue delivery_{"zarvi.mic"};
  std::unique_ptr<PulseRecorder> recorder_;  // declared last: it goes before the queue and the tap
};

}  // namespace zarvi::pulse
