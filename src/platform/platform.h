#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/capture_service.h"

namespace zarvi::platform {

// What the capture logic needs from the platform as a whole.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
  virtual CaptureService& captureService() = 0;
  virtual std::int32_t processIdentifier() = 0;
};

// The platform of the backend this build was made with (ZARVI_BACKEND). Each backend folder defines
// it once; nothing else chooses a backend.
std::unique_ptr<Platform> makePlatform();

}  // namespace zarvi::platform
