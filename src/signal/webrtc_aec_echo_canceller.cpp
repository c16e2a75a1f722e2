// The echo canceller of WebRTC's audio processing 0.3 (the one PulseAudio 16's module-echo-cancel
// uses): AEC with the extended filter and its residual echo suppression. The echo's delay, which the
// module's own delay-agnostic mode did not find beyond about 200 ms, comes from our estimator and is
// told to the module. No noise suppression, no gain control and no high-pass filter (this version's
// raised the near end by half a decibel): the user's own voice is the product, and is passed on at
// its level.
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "signal/audio_mixer.h"
#include "signal/echo_canceller.h"
#include "signal/framed_echo_canceller.h"

namespace zarvi {
namespace {

constexpr int kRate = 16000;
// The module takes stream delays up to 500 ms; later echoes have the reference held back.
constexpr std::size_t kReachFrames = 46;

void toFrame(webrtc::AudioFrame& frame, std::span<const float> samples) {
  frame.sample_rate_hz_ = kRate;
  frame.num_channels_ = 1;
  frame.samples_per_channel_ = samples.size();
  for (std::size_t i = 0; i < samples.size(); ++i) frame.data_[i] = toPcmSample(samples[i]);
}

class WebRtcAecEchoCanceller : public FramedEchoCanceller {
 public:
  explicit WebRtcAecEchoCanceller(std::unique_ptr<webrtc::AudioProcessing> module)
      : FramedEchoCanceller(kReachFrames), module_(std::move(module)) {}

  Measure measure() const override {
    webrtc::EchoCancellation::Metrics metrics;
    int median = 0;
    int deviation = 0;
    float poorFraction = 0.0F;
    Measure measure;
    if (module_->echo_cancellation()->GetMetrics(&metrics) == webrtc::AudioProcessing::kNoError) {
      measure.echoRemovedDb = metrics.echo_return_loss_enhancement.instant;
    }
    if (module_->echo_cancellation()->GetDelayMetrics(&median, &deviation, &poorFraction) ==
        webrtc::AudioProcessing::kNoError) {
      measure.delayMs = median;
    }
    if (const auto frames = estimatedDelayFrames()) measure.delayMs = static_cast<int>(*frames) * 10;
    return measure;
  }

 private:
  void processReference(std::span<const float> frame) override {
    toFrame(far_, frame);
    module_->ProcessReverseStream(&far_);
  }

  void processMicrophone(std::span<float> frame, std::optional<std::size_t> delayFrames) override {
    toFrame(near_, frame);
    module_->set_stream_delay_ms(delayFrames ? static_cast<int>(*delayFrames) * 10 : 0);
    module_->ProcessStream(&near_);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<float>(near_.data_[i]) / 32767.0F;
  }

  void resetModule() override { module_->Initialize(); }

  std::unique_ptr<webrtc::AudioProcessing> module_;
  webrtc::AudioFrame far_;
  webrtc::AudioFrame near_;
};

}  // namespace

Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller() {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  std::unique_ptr<webrtc::AudioProcessing> module(webrtc::AudioProcessing::Create(config));
  if (!module) return Failure{"the echo canceller could not be made"};
  auto* echo = module->echo_cancellation();
  if (echo->Enable(true) != webrtc::AudioProcessing::kNoError ||
      echo->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression) !=
          webrtc::AudioProcessing::kNoError ||
      echo->enable_metrics(true) != webrtc::AudioProcessing::kNoError ||
      echo->enable_delay_logging(true) != webrtc::AudioProcessing::kNoError ||
      module->high_pass_filter()->Enable(false) != webrtc::AudioProcessing::kNoError) {
    return Failure{"the echo canceller could not be set up"};
  }
  return std::unique_ptr<EchoCanceller>(std::make_unique<WebRtcAecEchoCanceller>(std::move(module)));
}

}  // namespace zarvi
