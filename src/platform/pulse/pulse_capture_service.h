#pragma once

#include <memory>
#include <string>

#include "platform/capture_service.h"
#include "platform/pulse/device_follower.h"
#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// System audio: the "displays" are the server's sinks, the default sink first, each captured through
// its monitor source; the "applications" are the server's clients. A sink's monitor carries the sound
// of every application, so excluding one (this process, which plays nothing) leaves the sound unchanged.
class PulseCaptureService : public platform::CaptureService {
 public:
  // A stream takes the connection for its run and gives back the one it ended with, which is newer
  // when it had to reconnect: only one connection is ever held.
  void getShareableContent(std::function<void(platform::ContentResult)> completion) override;
  std::unique_ptr<platform::CaptureStream> makeStream(
      const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) override;
  void keepConnection(std::shared_ptr<PulseContext> context);

 private:
  std::shared_ptr<PulseContext> context_;
};

// Records the chosen sink's monitor as interleaved float frames in 10 ms sample buffers, handed to the
// audio output on its queue, and then follows the default sink's monitor (chooseSystemAudio). The
// screen output never receives anything on this platform.
class PulseCaptureStream : public platform::CaptureStream {
 public:
  static constexpr std::size_t bufferFrames = 480;

  PulseCaptureStream(PulseCaptureService& service, std::shared_ptr<PulseContext> context,
                     std::string sourceName, const platform::StreamConfiguration& configuration);

  std::optional<std::string> addOutput(platform::StreamOutput& output, platform::OutputType type,
                                       runtime::SerialQueue& queue) override;
  void startCapture(platform::Completion completion, platform::DeviceChangeHandler onDeviceChange) override;
  void stopCapture(platform::Completion completion) override;

 private:
  void deliver(const float* interleaved, std::size_t frames);

  PulseCaptureService& service_;
  std::shared_ptr<PulseContext> context_;
  std::string sourceName_;
  pa_sample_spec sampleSpec_{};
  platform::StreamOutput* audioOutput_ = nullptr;
  runtime::SerialQueue* audioQueue_ = nullptr;
  std::unique_ptr<DeviceFollower> follower_;  // declared last: it stops before the rest goes
};

}  // namespace zarvi::pulse
