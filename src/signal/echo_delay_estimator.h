#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <span>

namespace zarvi {

// Finds how far behind its reference an echo comes: the loudness of each 10 ms frame of the
// microphone against that of the reference frames fed before it, for every delay up to the longest,
// over the last second. Cheap enough to run at every frame.
class EchoDelayEstimator {
 public:
  static constexpr std::size_t kFrame = 160;  // 10 ms at 16 kHz
  // Frames: 1.5 s, beyond the 1 s a canceller follows, so that an echo later than that is seen as such
  // and not mistaken for a shorter one.
  static constexpr std::size_t kLongestDelay = 150;
  static constexpr std::size_t kWindow =
      100;  // frames looked at: 1 s, so that a new path shows within half a second
  static constexpr std::size_t kEvery = 10;  // frames between two estimates: 0.1 s

  // One reference frame, in the order fed.
  void reference(std::span<const float> frame);
  // One microphone frame: the echo of a reference frame fed before it.
  void microphone(std::span<const float> frame);
  // The delay in frames, once the reference has had sound enough to tell.
  std::optional<std::size_t> delayFrames() const { return delay_; }
  // A new echo path: start over.
  void reset();
  // A gap in both streams: what came before it is no longer lined up with what comes after, but the
  // delay found holds until a new estimate.
  void pause();

 private:
  void estimate();

  std::deque<double> reference_;  // the loudness of the latest reference frames
  std::size_t referenceFed_ = 0;
  // For each latest microphone frame: its loudness, and how many reference frames had been fed.
  std::deque<std::pair<double, std::size_t>> microphone_;
  std::size_t sinceEstimate_ = 0;
  std::optional<std::size_t> delay_;
};

}  // namespace zarvi
