#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zarvi::pulse {

// Which device each source records, and when a running source moves. Pure decisions over a snapshot
// of the server's devices; the recorder that moves the bytes and the connection live elsewhere.

struct SourceDevice {
  std::string name;
  std::string description;
  bool isMonitor = false;  // the monitor of a sink: what a sink plays, not a microphone
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;
};

struct SinkDevice {
  std::string name;
  std::string description;
  std::string monitorSourceName;
};

struct ServerDevices {
  std::string defaultSourceName;
  std::string defaultSinkName;
  std::vector<SourceDevice> sources;
  std::vector<SinkDevice> sinks;
};

// The device to record: the source to connect to, what to call it, and its own format.
struct ChosenDevice {
  std::string sourceName;
  std::string description;  // the device's human-readable description, or its name when it has none
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;

  bool operator==(const ChosenDevice&) const = default;
};

// A device, or the description of why there is none.
using DeviceChoice = std::variant<ChosenDevice, std::string>;

// The microphone is the default source, unless that is the monitor of a sink (a machine with no
// microphone): then there is none, so that system audio is never captured twice.
DeviceChoice chooseMicrophone(const ServerDevices& devices);

// System audio is the monitor of the default sink; the device it names is the sink.
DeviceChoice chooseSystemAudio(const ServerDevices& devices);

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
  // Nothing to record now, but a server's session manager names the next default a moment after the
  // old device went (PipeWire's WirePlumber does): look again after a short while before giving up.
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

}  // namespace zarvi::pulse
