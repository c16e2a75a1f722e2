#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "runtime/result.h"

namespace zarvi {

// The latest echo a canceller follows: a Bluetooth speaker's, or a second device's stream.
inline constexpr int kFollowedEchoDelayMs = 1000;

// Removes from the microphone the echo of what the loudspeakers play, both as 16 kHz mono float
// samples. The canceller finds the echo's delay itself and follows the echo path as it changes.
// Not safe for concurrent calls: its user serialises them.
class EchoCanceller {
 public:
  // What the canceller says of itself, for the debug lines.
  struct Measure {
    double echoRemovedDb = 0.0;  // its own estimate of the echo return loss enhancement
    int delayMs = 0;             // the delay it found between the reference and its echo
  };

  virtual ~EchoCanceller() = default;

  // What the loudspeakers played: the system audio as captured, in arrival order.
  virtual void feedReference(std::span<const float> samples) = 0;
  // The microphone's block with the echo removed, as many samples as came in. The samples come out
  // one processing frame late: the first block starts with that much silence.
  virtual void cancel(std::span<float> microphone) = 0;
  // A new echo path (a device switched or came back): what was learnt no longer holds.
  virtual void reset() = 0;
  // The capture ended: the audio still waiting belongs to it, but what was learnt of the echo path
  // holds for the next capture on the same devices.
  virtual void pause() = 0;
  virtual Measure measure() const = 0;
  // The echo's delay when it is clearly there but later than the canceller follows.
  virtual std::optional<int> delayBeyondReachMs() const = 0;
};

// The canceller this build has, or why there is none.
Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller();
using EchoCancellerMaker = std::function<Result<std::unique_ptr<EchoCanceller>>()>;

}  // namespace zarvi
