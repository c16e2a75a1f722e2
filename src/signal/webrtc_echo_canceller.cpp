// The echo canceller of WebRTC's audio-processing module (the one PulseAudio's module-echo-cancel
// uses): echo cancellation with the extended filter and its residual echo suppression. The echo's
// delay, which the module's own delay-agnostic mode did not find beyond about 200 ms, comes from
// an estimator of ours. No noise suppression, no gain control and no high-pass filter (version 0.3's raised
// the near end by half a decibel): the user's own voice is the product, and is passed on at its level.
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <vector>

#include "signal/audio_mixer.h"
#include "signal/echo_canceller.h"
#include "signal/echo_delay_estimator.h"

namespace zarvi {
namespace {

constexpr int kRate = 16000;
constexpr std::size_t kFrame = 160;  // the module works in 10 ms frames
constexpr int kDelayMarginFrames = 4;
constexpr int kDelayHeldFrames = 2;

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

  // Only kept here: the module wants one reference frame before each microphone frame of the same
  // moment, and the microphone comes in blocks of many frames.
  void feedReference(std::span<const float> samples) override {
    reference_.insert(reference_.end(), samples.begin(), samples.end());
    // A microphone that stopped leaves the reference to pile up: only the newest second is of use.
    const std::size_t bound = 100 * kFrame;
    if (reference_.size() > bound) reference_.erase(reference_.begin(), reference_.end() - bound);
  }

  void cancel(std::span<float> microphone) override {
    input_.insert(input_.end(), microphone.begin(), microphone.end());
    // The reference frames that came since the last block are spread evenly over its frames, as
    // they arrived while the microphone recorded them.
    const std::size_t nearFrames = input_.size() / kFrame;
    const std::size_t farFrames = reference_.size() / kFrame;
    std::size_t farFed = 0;
    std::vector<float> frame(kFrame);
    for (std::size_t j = 0; j < nearFrames; ++j) {
      const std::size_t farDue =
          nearFrames == 0 ? farFrames : ((j + 1) * farFrames + nearFrames - 1) / nearFrames;
      for (; farFed < farDue; ++farFed) {
        std::copy_n(reference_.begin(), kFrame, frame.begin());
        reference_.erase(reference_.begin(), reference_.begin() + kFrame);
        toFrame(far_, frame);
        estimator_.reference(frame);
        module_->ProcessReverseStream(&far_);
      }
      std::copy_n(input_.begin(), kFrame, frame.begin());
      input_.erase(input_.begin(), input_.begin() + kFrame);
      toFrame(near_, frame);
      estimator_.microphone(frame);
      module_->set_stream_delay_ms(streamDelayMs());
      module_->ProcessStream(&near_);
      for (std::size_t i = 0; i < kFrame; ++i)
        output_.push_back(static_cast<float>(near_.data_[i]) / 32767.0F);
    }
    std::copy_n(output_.begin(), microphone.size(), microphone.begin());
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(microphone.size()));
  }

  void reset() override {
    module_->Initialize();
    estimator_.reset();
    toldFrames_.reset();
    // What waits of the reference belongs to the old path.
    reference_.clear();
  }

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
    if (const auto frames = estimator_.delayFrames()) measure.delayMs = static_cast<int>(*frames) * 10;
    return measure;
  }

 private:
  // The delay the module is told: a few frames short of the estimate, as the module's filter covers
  // what comes after it and not before, and an estimate that wavers by a frame or two is held, as
  // every move makes the filter adapt again.
  int streamDelayMs() {
    const auto frames = estimator_.delayFrames();
    if (!frames) return 0;
    const int wanted = std::max(0, static_cast<int>(*frames) - kDelayMarginFrames);
    if (!toldFrames_ || std::abs(wanted - *toldFrames_) > kDelayHeldFrames) toldFrames_ = wanted;
    return *toldFrames_ * 10;
  }

  std::unique_ptr<webrtc::AudioProcessing> module_;
  EchoDelayEstimator estimator_;
  webrtc::AudioFrame far_;
  webrtc::AudioFrame near_;
  std::deque<float> reference_;
  std::deque<float> input_;
  std::deque<float> output_;
  std::optional<int> toldFrames_;
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
  return std::unique_ptr<EchoCanceller>(std::make_unique<WebRtcEchoCanceller>(std::move(module)));
}

}  // namespace zarvi
