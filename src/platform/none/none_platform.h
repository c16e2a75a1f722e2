#pragma once

#include <memory>
#include <string>

#include "platform/capture_service.h"
#include "platform/platform.h"

namespace zarvi::none {

// Why every start fails in a build with no sound server backend.
inline const Failure kNoBackend{"this build has no sound server backend (built with ZARVI_BACKEND=none)"};

// A platform with no sound server at all: the microphone has no input device (0 Hz, 0 channels) and
// fails to start, the content query fails, each with kNoBackend; a capture therefore runs
// degraded exactly as it does when no server can be reached.
class NonePlatform : public platform::Platform {
 public:
  NonePlatform();
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;
  platform::CaptureService& captureService() override { return *captureService_; }
  std::int32_t processIdentifier() override;

 private:
  std::unique_ptr<platform::CaptureService> captureService_;
};

}  // namespace zarvi::none
