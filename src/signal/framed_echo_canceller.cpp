#include "signal/framed_echo_canceller.h"

#include <algorithm>

namespace zarvi {
namespace {

constexpr std::size_t kMarginFrames = 4;
constexpr std::size_t kWaverFrames = 2;
// An echo seen beyond the followed delay for this long is said to be out of reach: one stray
// estimate is not.
constexpr std::size_t kBeyondFrames = 100;

void moveFrame(std::deque<float>& from, std::vector<float>& to) {
  std::copy_n(from.begin(), to.size(), to.begin());
  from.erase(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(to.size()));
}

}  // namespace

FramedEchoCanceller::FramedEchoCanceller(std::size_t reachFrames)
    : reachFrames_(reachFrames), output_(kFrame, 0.0F), frame_(kFrame) {}

void FramedEchoCanceller::feedReference(std::span<const float> samples) {
  reference_.insert(reference_.end(), samples.begin(), samples.end());
  // A microphone that stopped leaves the reference to pile up: only the newest second is of use.
  const std::size_t bound = 100 * kFrame;
  if (reference_.size() > bound) reference_.erase(reference_.begin(), reference_.end() - bound);
}

void FramedEchoCanceller::cancel(std::span<float> microphone) {
  input_.insert(input_.end(), microphone.begin(), microphone.end());
  // The reference frames that came since the last block are spread evenly over its frames, as
  // they arrived while the microphone recorded them.
  const std::size_t nearFrames = input_.size() / kFrame;
  const std::size_t farFrames = reference_.size() / kFrame;
  std::size_t farFed = 0;
  for (std::size_t j = 0; j < nearFrames; ++j) {
    const std::size_t farDue = ((j + 1) * farFrames + nearFrames - 1) / nearFrames;
    for (; farFed < farDue; ++farFed) nextReferenceFrame();
    moveFrame(input_, frame_);
    estimator_.microphone(frame_);
    std::optional<std::size_t> delay = heldDelayFrames();
    if (delay) {
      heldBack_ = *delay > reachFrames_ ? *delay - reachFrames_ : 0;
      delay = *delay - heldBack_;
    }
    processMicrophone(frame_, delay);
    output_.insert(output_.end(), frame_.begin(), frame_.end());
  }
  std::copy_n(output_.begin(), microphone.size(), microphone.begin());
  output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(microphone.size()));
}

void FramedEchoCanceller::nextReferenceFrame() {
  moveFrame(reference_, frame_);
  estimator_.reference(frame_);
  played_.insert(played_.end(), frame_.begin(), frame_.end());
  const std::size_t bound = (kFollowedDelay + 1) * kFrame;
  if (played_.size() > bound) played_.erase(played_.begin(), played_.end() - bound);
  // Held back: the frame that was due heldBack_ frames ago, silence before the first.
  const std::size_t back = heldBack_ * kFrame;
  if (played_.size() < back + kFrame) {
    std::fill(frame_.begin(), frame_.end(), 0.0F);
  } else {
    std::copy_n(played_.end() - static_cast<std::ptrdiff_t>(back + kFrame), kFrame, frame_.begin());
  }
  processReference(frame_);
}

std::optional<std::size_t> FramedEchoCanceller::heldDelayFrames() {
  const auto estimate = estimator_.delayFrames();
  if (estimate && *estimate > kFollowedDelay) {
    ++beyondInARow_;
    return held_;
  }
  beyondInARow_ = 0;
  if (!estimate) return held_;
  const std::size_t wanted = *estimate > kMarginFrames ? *estimate - kMarginFrames : 0;
  const std::size_t moved = held_ ? std::max(wanted, *held_) - std::min(wanted, *held_) : 0;
  if (!held_ || moved > kWaverFrames) held_ = wanted;
  return held_;
}

std::optional<int> FramedEchoCanceller::delayBeyondReachMs() const {
  const auto estimate = estimator_.delayFrames();
  if (beyondInARow_ < kBeyondFrames || !estimate) return std::nullopt;
  return static_cast<int>(*estimate * 10);
}

void FramedEchoCanceller::reset() {
  resetModule();
  estimator_.reset();
  held_.reset();
  heldBack_ = 0;
  beyondInARow_ = 0;
  // What waits of the reference belongs to the old path.
  reference_.clear();
  played_.clear();
}

void FramedEchoCanceller::pause() {
  estimator_.pause();
  beyondInARow_ = 0;
  reference_.clear();
  played_.clear();
  input_.clear();
  output_.assign(kFrame, 0.0F);
}

}  // namespace zarvi
