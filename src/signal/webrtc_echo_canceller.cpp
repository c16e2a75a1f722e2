// The echo canceller of WebRTC's audio-processing module (the one PulseAudio's module-echo-cancel
// uses): echo cancellation with the extended filter and delay-agnostic modes, and its residual echo
// suppression. No noise suppression, no gain control and no high-pass filter (version 0.3's raised
// the near end by half a decibel): the user's own voice is the product, and is passed on at its level.
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <vector>

#include "signal/echo_canceller.h"
#include "signal/audio_mixer.h"

namespace zarvi {
namespace {

constexpr int kRate = 16000;
constexpr std::size_t kFrame = 160;  // the module works in 10 ms frames

void toFrame(webrtc::AudioFrame& frame, std::span<const float> samples) {
  frame.sample_rate_hz_ = kRate;
  frame.num_channels_ = 1;
  frame.samples_per_channel_ = kFrame;
  for (std::size_t i = 0; i < kFrame; ++i) frame.data_[i] = toPcmSample(samples[i]);
}

class WebRtcEchoCanceller : public EchoCanceller {
 public:
  explicit WebRtcEchoCanceller(std::unique_ptr<webrtc::AudioProcessing> module) : module_(std::move(module)) {
    // One frame of silence ahead of the first output: the latency of working in whole frames.
    output_.assign(kFrame, 0.0F);
  }

  void feedReference(std::span<const float> samples) override {
    reference_.insert(reference_.end(), samples.begin(), samples.end());
    while (reference_.size() >= kFrame) {
      std::vector<float> frame(reference_.begin(), reference_.begin() + kFrame);
      reference_.erase(reference_.begin(), reference_.begin() + kFrame);
      toFrame(far_, frame);
      module_->ProcessReverseStream(&far_);
    }
  }

  void cancel(std::span<float> microphone) override {
    input_.insert(input_.end(), microphone.begin(), microphone.end());
    while (input_.size() >= kFrame) {
      std::vector<float> frame(input_.begin(), input_.begin() + kFrame);
      input_.erase(input_.begin(), input_.begin() + kFrame);
      toFrame(near_, frame);
      // The delay-agnostic mode finds the delay itself; the stream delay is only its starting point.
      module_->set_stream_delay_ms(0);
      module_->ProcessStream(&near_);
      for (std::size_t i = 0; i < kFrame; ++i) output_.push_back(static_cast<float>(near_.data_[i]) / 32767.0F);
    }
    std::copy_n(output_.begin(), microphone.size(), microphone.begin());
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(microphone.size()));
  }

  void reset() override { module_->Initialize(); }

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
    return measure;
  }

 private:
  std::unique_ptr<webrtc::AudioProcessing> module_;
  webrtc::AudioFrame far_;
  webrtc::AudioFrame near_;
  std::deque<float> reference_;
  std::deque<float> input_;
  std::deque<float> output_;
};

}  // namespace

Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller() {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
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
  return std::unique_ptr<EchoCanceller>(std::make_unique<WebRtcEchoCanceller>(std::move(module)));
}

}  // namespace zarvi
