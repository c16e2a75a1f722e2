#pragma once

#include <cstdint>
#include <memory>

#include "platform/capture_service.h"
#include "protocol/events.h"
#include "signal/audio_mixer.h"

namespace zarvi {

// Receives the system-audio stream's sample buffers on its queue: checks that they are 32-bit float,
// converts them to mono 16 kHz blocks and leaves them waiting in the mixer.
class SystemAudioHandler : public platform::StreamOutput {
 public:
  // The events must outlive the handler.
  SystemAudioHandler(std::shared_ptr<AudioMixer> mixer, EventSink& events);
  void didOutput(const platform::SampleBuffer& buffer, platform::OutputType type) override;

 private:
  std::shared_ptr<AudioMixer> mixer;
  EventSink& events;
  std::int64_t bufCount = 0;  // touched only on the stream's queue
};

// The stream's screen frames: received and ignored.
class VideoNoopHandler : public platform::StreamOutput {
 public:
  void didOutput(const platform::SampleBuffer& /*buffer*/, platform::OutputType /*type*/) override {}
};

}  // namespace zarvi
