// The echo canceller of WebRTC's audio processing 1.x (the one PulseAudio 17's and PipeWire 1.x's
// module-echo-cancel use): AEC3, with its own delay estimation and residual echo suppression. AEC3
// finds delays up to about half a second itself and follows their changes; a later echo has the
// reference held back by what our estimator finds beyond that. Measured on recordings of a simulated
// room: telling AEC3 our estimate as the stream delay changed no output sample, and holding every
// delay back to 40 ms removed no more echo (and would make each move of our estimate a jump for AEC3
// to find again). No noise suppression (it took 0.2 dB of the near end alone and 0.6 dB more in
// double talk, and removed less echo), no gain control, no high-pass filter (which removed no more
// echo either): the user's own voice is the product, and is passed on at its level.
#include <api/scoped_refptr.h>
#include <modules/audio_processing/include/audio_processing.h>

#include <array>

#include "signal/echo_canceller.h"
#include "signal/framed_echo_canceller.h"

namespace zarvi {
namespace {

constexpr int kRate = 16000;

// AEC3's own delay estimator reaches about as far.
constexpr std::size_t kReachFrames = 46;

class WebRtcAec3EchoCanceller : public FramedEchoCanceller {
 public:
  explicit WebRtcAec3EchoCanceller(rtc::scoped_refptr<webrtc::AudioProcessing> module)
      : FramedEchoCanceller(kReachFrames), module_(std::move(module)) {}

  Measure measure() const override {
    Measure measure;
    const auto statistics = module_->GetStatistics(true);
    if (statistics.echo_return_loss_enhancement)
      measure.echoRemovedDb = *statistics.echo_return_loss_enhancement;
    if (statistics.delay_ms) measure.delayMs = *statistics.delay_ms;
    if (const auto frames = estimatedDelayFrames()) measure.delayMs = static_cast<int>(*frames) * 10;
    return measure;
  }

 private:
  void processReference(std::span<const float> frame) override {
    const float* source = frame.data();
    float* destination = scratch_.data();
    module_->ProcessReverseStream(&source, stream_, stream_, &destination);
  }

  void processMicrophone(std::span<float> frame, std::optional<std::size_t> /*delayFrames*/) override {
    const float* source = frame.data();
    float* destination = frame.data();
    module_->ProcessStream(&source, stream_, stream_, &destination);
  }

  void resetModule() override { module_->Initialize(); }

  rtc::scoped_refptr<webrtc::AudioProcessing> module_;
  webrtc::StreamConfig stream_{kRate, 1};
  std::array<float, kFrame> scratch_{};
};

}  // namespace

Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller() {
  rtc::scoped_refptr<webrtc::AudioProcessing> module(webrtc::AudioProcessingBuilder().Create());
  if (!module) return Failure{"the echo canceller could not be made"};
  webrtc::AudioProcessing::Config config;
  config.echo_canceller.enabled = true;
  config.echo_canceller.mobile_mode = false;
  config.echo_canceller.enforce_high_pass_filtering = false;
  config.high_pass_filter.enabled = false;
  config.noise_suppression.enabled = false;
  config.gain_controller1.enabled = false;
  config.gain_controller2.enabled = false;
  module->ApplyConfig(config);
  if (module->Initialize() != webrtc::AudioProcessing::kNoError)
    return Failure{"the echo canceller could not be set up"};
  return std::unique_ptr<EchoCanceller>(std::make_unique<WebRtcAec3EchoCanceller>(std::move(module)));
}

}  // namespace zarvi
