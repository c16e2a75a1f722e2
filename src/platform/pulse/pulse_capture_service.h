#pragma once

#include <memory>

#include "platform/capture_service.h"
#include "platform/pulse/pulse_connection.h"

namespace zarvi::pulse {

// System audio: the "displays" are the server's sinks, the default sink first, each captured through
// its monitor source; the "applications" are the server's clients. A sink's monitor carries the sound
// of every application, so excluding one (this process, which plays nothing) leaves the sound unchanged.
// A stream records the chosen sink's monitor in the configured format (the server converts) and then
// follows the default sink's monitor (chooseSystemAudio), over the service's one connection.
class PulseCaptureService : public platform::CaptureService {
 public:
  void getShareableContent(std::function<void(platform::ContentResult)> completion) override;
  std::unique_ptr<platform::CaptureStream> makeStream(
      const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) override;

 private:
  const std::shared_ptr<PulseConnection> connection_ = std::make_shared<PulseConnection>("pulse-system");
};

}  // namespace zarvi::pulse
