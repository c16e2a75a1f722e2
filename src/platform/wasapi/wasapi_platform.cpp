#include "platform/wasapi/wasapi_platform.h"

#include "platform/platform_factory.h"
#include "platform/wasapi/wasapi_audio_engine.h"

namespace zarvi::wasapi {

std::unique_ptr<platform::AudioEngine> WasapiPlatform::makeAudioEngine() {
  return std::make_unique<WasapiAudioEngine>();
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
