#pragma once

#include "platform/capture_service.h"
#include "platform/platform.h"
#include "platform/wasapi/com.h"
#include "platform/wasapi/wasapi_capture_service.h"

namespace zarvi::wasapi {

// Windows' audio session API (WASAPI): the microphone and system audio of the default endpoints.
class WasapiPlatform : public platform::Platform {
 public:
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;
  platform::CaptureService& captureService() override { return *service_; }
  std::int32_t processIdentifier() override;

 private:
  // Made on the main thread, which never leaves the apartment: COM stays usable on every thread of
  // the process, the queues' included, for as long as the process runs.
  ComScope mainThreadApartment_;
  const std::unique_ptr<platform::CaptureService> service_ = makeWasapiCaptureService();
};

}  // namespace zarvi::wasapi
