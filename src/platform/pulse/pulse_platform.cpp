#include "platform/pulse/pulse_platform.h"

#include <unistd.h>

#include "platform/platform_factory.h"
#include "platform/pulse/pulse_audio_engine.h"

namespace zarvi::pulse {

std::unique_ptr<platform::AudioEngine> PulsePlatform::makeAudioEngine() {
  return std::make_unique<PulseAudioEngine>();
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
