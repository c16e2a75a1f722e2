#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "runtime/result.h"

namespace zarvi::platform {

// When a running source moves to another device: pure decisions, the same on every backend. Which
// device a source should record is each backend's own choice; this takes that choice as it stands.

// The timings of following, which belong together; tests pass shorter ones.
struct FollowTimings {
  // How long a source whose device went waits for the system to name another one before it reports
  // the loss. System audio waits in the mixer meanwhile (half a second at most), so none of it is lost.
  std::chrono::milliseconds settle{300};
  // While capturing, a device that cannot be opened (or a lost connection to the sound system) is
  // tried again after the first delay, doubled at each failure up to the longest: no busy loop, and a
  // device that comes back is found within the longest delay.
  std::chrono::milliseconds retryFirst{250};
  std::chrono::milliseconds retryLongest{2000};
};

// The device to record: what to open, what to call it, and the format it is recorded in.
struct ChosenDevice {
  std::string id;           // what the backend opens: a source name, an endpoint id
  std::string description;  // the device's human-readable description, or its id when it has none
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;

  bool operator==(const ChosenDevice&) const = default;
};

// A device, or why there is none.
using DeviceChoice = Result<ChosenDevice>;

// Where a running source stands.
struct FollowedState {
  std::optional<ChosenDevice> recording;  // the device in use; none after a loss
  bool streamAlive = false;               // its stream still delivers
  bool lossPending = false;               // no device to take its place was seen a moment ago
};

enum class FollowStep {
  stay,    // nothing to do
  reopen,  // the same device, whose stream died: open it again, with nothing to tell
  switchTo,
  // Nothing to record now, but a session manager may name the next default a moment after the old
  // device went (PipeWire's WirePlumber does): look again after a short while before giving up.
  settle,
  lose,
  resume,
};

struct FollowDecision {
  FollowStep step = FollowStep::stay;
  std::optional<ChosenDevice> device;  // reopen, switchTo, resume
  std::string why;                     // lose
};

FollowDecision decideNextStep(const FollowedState& state, const DeviceChoice& choice);

}  // namespace zarvi::platform
