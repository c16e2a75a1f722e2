#include "platform/none/none_platform.h"

#include <unistd.h>

#include "platform/platform.h"

namespace zarvi::none {
namespace {

class NoAudioEngine : public platform::AudioEngine {
 public:
  platform::InputFormat inputFormat() override { return {}; }
  void installTap(std::uint32_t, const platform::InputFormat&, platform::TapBlock) override {}
  void removeTap() override {}
  Result<> start(platform::DeviceChangeHandler) override { return kNoBackend; }
  void stop() override {}
};

class NoCaptureStream : public platform::CaptureStream {
 public:
  Result<> addOutput(platform::StreamOutput&, platform::OutputType, runtime::SerialQueue&) override {
    return kNoBackend;
  }
  void startCapture(platform::Completion completion, platform::DeviceChangeHandler) override {
    completion(kNoBackend);
  }
  void watchForOutput(platform::DeviceChangeHandler) override {}
  void stopCapture(platform::Completion completion) override { completion({}); }
};

class NoCaptureService : public platform::CaptureService {
 public:
  void getShareableContent(std::function<void(platform::ContentResult)> completion) override {
    completion(kNoBackend);
  }
  std::unique_ptr<platform::CaptureStream> makeStream(const platform::ContentFilter&,
                                                      const platform::StreamConfiguration&) override {
    return std::make_unique<NoCaptureStream>();
  }
};

}  // namespace

NonePlatform::NonePlatform() : captureService_(std::make_unique<NoCaptureService>()) {}

std::unique_ptr<platform::AudioEngine> NonePlatform::makeAudioEngine() {
  return std::make_unique<NoAudioEngine>();
}

std::int32_t NonePlatform::processIdentifier() {
  return static_cast<std::int32_t>(::getpid());
}

}  // namespace zarvi::none

namespace zarvi::platform {

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<none::NonePlatform>();
}

}  // namespace zarvi::platform
