#include "platform/pulse/pulse_platform.h"

#include <unistd.h>

#include "platform/follow/followed_microphone.h"
#include "platform/platform.h"
#include "platform/pulse/pulse_source_side.h"

namespace zarvi::pulse {

std::unique_ptr<platform::AudioEngine> PulsePlatform::makeAudioEngine() {
  // The microphone is the default source at its own format; a sink's monitor is none.
  return std::make_unique<platform::FollowedMicrophone>(std::make_unique<PulseSourceSide>(
      std::make_shared<PulseConnection>("pulse-mic"), chooseMicrophone, std::nullopt));
}

std::int32_t PulsePlatform::processIdentifier() {
  return static_cast<std::int32_t>(::getpid());
}

}  // namespace zarvi::pulse

namespace zarvi::platform {

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<pulse::PulsePlatform>();
}

}  // namespace zarvi::platform
