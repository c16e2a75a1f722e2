#pragma once

#include <memory>
#include <string>

#include "platform/capture_service.h"
#include "platform/wasapi/endpoint_follower.h"

namespace zarvi::wasapi {

// System audio: the "displays" are the active render endpoints, the default one first, each captured
// by loopback; the "applications" are the audio sessions of the default render endpoint. Loopback
// carries the sound of every application, so excluding one (this process, which plays nothing) leaves
// the sound unchanged.
class WasapiCaptureService : public platform::CaptureService {
 public:
  void getShareableContent(std::function<void(platform::ContentResult)> completion) override;
  std::unique_ptr<platform::CaptureStream> makeStream(
      const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) override;
};

// Records the default render endpoint by loopback, as interleaved float frames at its mix format in
// 10 ms sample buffers described as such, handed to the audio output on its queue, and follows the
// default render endpoint from then on (chooseSystemAudio). The screen output never receives anything
// on this platform.
class WasapiCaptureStream : public platform::CaptureStream {
 public:
  std::optional<std::string> addOutput(platform::StreamOutput& output, platform::OutputType type,
                                       runtime::SerialQueue& queue) override;
  void startCapture(platform::Completion completion, platform::DeviceChangeHandler onDeviceChange) override;
  void stopCapture(platform::Completion completion) override;

 private:
  void deliver(const float* interleaved, std::size_t frames);

  platform::StreamOutput* audioOutput_ = nullptr;
  runtime::SerialQueue* audioQueue_ = nullptr;
  // The queue only: the format of the endpoint recorded now.
  std::uint32_t rate_ = 0;
  std::uint32_t channels_ = 0;
  std::unique_ptr<EndpointFollower> follower_;  // declared last: it stops before the rest goes
};

}  // namespace zarvi::wasapi
