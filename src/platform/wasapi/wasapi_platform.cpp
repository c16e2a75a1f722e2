#include "platform/wasapi/wasapi_platform.h"

#include "platform/follow/followed_microphone.h"
#include "platform/platform.h"
#include "platform/wasapi/wasapi_source_side.h"

namespace zarvi::wasapi {

std::unique_ptr<platform::AudioEngine> WasapiPlatform::makeAudioEngine() {
  // The microphone is the default capture endpoint at its mix format.
  return std::make_unique<platform::FollowedMicrophone>(
      std::make_unique<WasapiSourceSide>(eCapture, chooseMicrophone, false, "wasapi-mic"));
}

std::int32_t WasapiPlatform::processIdentifier() {
  return static_cast<std::int32_t>(::GetCurrentProcessId());
}

}  // namespace zarvi::wasapi

namespace zarvi::platform {

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<wasapi::WasapiPlatform>();
}

}  // namespace zarvi::platform
