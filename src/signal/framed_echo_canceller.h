#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "signal/echo_canceller.h"
#include "signal/echo_delay_estimator.h"

namespace zarvi {

// What every canceller that works in 10 ms frames shares: the microphone comes in blocks of any
// length and the reference as it arrives, while such a module wants one reference frame before each
// microphone frame of the same moment; and the echo's delay, which our estimator finds. Where the
// delay is longer than the module reaches, the reference is held back by the difference, so that the
// module only sees what is left.
class FramedEchoCanceller : public EchoCanceller {
 public:
  static constexpr std::size_t kFrame = EchoDelayEstimator::kFrame;
  static constexpr std::size_t kFollowedDelay = kFollowedEchoDelayMs / 10;  // in frames

  void feedReference(std::span<const float> samples) override;
  void cancel(std::span<float> microphone) override;
  void reset() override;
  void pause() override;
  std::optional<int> delayBeyondReachMs() const override;

 protected:
  // reachFrames: the longest delay the module is told or finds itself.
  explicit FramedEchoCanceller(std::size_t reachFrames);

  // The next reference frame as the module is to hear it.
  virtual void processReference(std::span<const float> frame) = 0;
  // One microphone frame, cancelled in place. delayFrames: what is left of the echo's delay after
  // the reference was held back, when the estimator has found it.
  virtual void processMicrophone(std::span<float> frame, std::optional<std::size_t> delayFrames) = 0;
  // Forgets everything the module learnt.
  virtual void resetModule() = 0;

  std::optional<std::size_t> estimatedDelayFrames() const { return estimator_.delayFrames(); }

 private:
  void nextReferenceFrame();
  // The delay the module works with: a few frames short of the estimate, as a filter covers what
  // comes after its start and not before, and held while the estimate wavers by a frame or two, as
  // every move makes the module adapt again.
  std::optional<std::size_t> heldDelayFrames();

  const std::size_t reachFrames_;
  EchoDelayEstimator estimator_;
  std::deque<float> reference_;  // arrived, not yet due
  std::deque<float> played_;     // the latest frames that were due, for holding back
  std::deque<float> input_;
  std::deque<float> output_;
  std::vector<float> frame_;
  std::optional<std::size_t> held_;
  std::size_t heldBack_ = 0;
  std::size_t beyondInARow_ = 0;
};

}  // namespace zarvi
