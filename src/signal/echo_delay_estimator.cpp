#include "signal/echo_delay_estimator.h"

#include <cmath>
#include <vector>

namespace zarvi {
namespace {

double loudness(std::span<const float> frame) {
  double sum = 0.0;
  for (const float sample : frame) sum += static_cast<double>(sample) * sample;
  // Logarithmic, so that loud syllables do not outweigh the rest; a floor for silence.
  return std::log10(sum / static_cast<double>(frame.size()) + 1e-9);
}

}  // namespace

void EchoDelayEstimator::reference(std::span<const float> frame) {
  reference_.push_back(loudness(frame));
  ++referenceFed_;
  while (reference_.size() > kWindow + kLongestDelay + 1) reference_.pop_front();
}

void EchoDelayEstimator::microphone(std::span<const float> frame) {
  microphone_.emplace_back(loudness(frame), referenceFed_);
  while (microphone_.size() > kWindow) microphone_.pop_front();
  if (++sinceEstimate_ >= kEvery) {
    sinceEstimate_ = 0;
    estimate();
  }
}

void EchoDelayEstimator::reset() {
  pause();
  delay_.reset();
}

void EchoDelayEstimator::pause() {
  reference_.clear();
  microphone_.clear();
  sinceEstimate_ = 0;
}

void EchoDelayEstimator::estimate() {
  if (microphone_.size() < kWindow / 2) return;
  const std::size_t oldestKept = referenceFed_ - reference_.size();
  // The reference must vary: a silent or steady one tells nothing about the delay.
  double bestScore = 0.0;
  std::optional<std::size_t> best;
  for (std::size_t delay = 0; delay <= kLongestDelay; ++delay) {
    std::vector<double> x;
    std::vector<double> y;
    for (const auto& [micLoudness, fed] : microphone_) {
      if (fed < delay + 1 || fed - 1 - delay < oldestKept) continue;
      x.push_back(reference_[fed - 1 - delay - oldestKept]);
      y.push_back(micLoudness);
    }
    if (x.size() < kWindow / 2) continue;
    double mx = 0.0;
    double my = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      mx += x[i];
      my += y[i];
    }
    mx /= static_cast<double>(x.size());
    my /= static_cast<double>(y.size());
    double sxy = 0.0;
    double sxx = 0.0;
    double syy = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      sxy += (x[i] - mx) * (y[i] - my);
      sxx += (x[i] - mx) * (x[i] - mx);
      syy += (y[i] - my) * (y[i] - my);
    }
    if (sxx < 1.0 || syy <= 0.0) continue;
    const double score = sxy / std::sqrt(sxx * syy);
    if (score > bestScore) {
      bestScore = score;
      best = delay;
    }
  }
  // Only a clear likeness moves the estimate: near-end talk alone looks like no delay at all.
  if (best && bestScore >= 0.5) delay_ = best;
}

}  // namespace zarvi
