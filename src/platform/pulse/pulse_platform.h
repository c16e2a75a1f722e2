#pragma once

#include "platform/capture_service.h"
#include "platform/platform.h"
#include "platform/pulse/pulse_capture_service.h"

namespace zarvi::pulse {

// The tool on the sound server of current Linux desktops (PulseAudio, or PipeWire through
// pipewire-pulse). PULSE_SERVER and the rest of libpulse's environment choose the server. Each source
// has its own connection.
class PulsePlatform : public platform::Platform {
 public:
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;
  platform::CaptureService& captureService() override { return *captureService_; }
  std::int32_t processIdentifier() override;

 private:
  const std::unique_ptr<platform::CaptureService> captureService_ = makePulseCaptureService();
};

}  // namespace zarvi::pulse
