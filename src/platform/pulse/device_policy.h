#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/follow/follow_policy.h"

namespace zarvi::pulse {

// Which device each source records: pure decisions over a snapshot of the server's devices.

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

using platform::ChosenDevice;
using platform::DeviceChoice;

// The microphone is the default source, unless that is the monitor of a sink (a machine with no
// microphone): then there is none, so that system audio is never captured twice.
DeviceChoice chooseMicrophone(const ServerDevices& devices);

// System audio is the monitor of the default sink; the device it names is the sink.
DeviceChoice chooseSystemAudio(const ServerDevices& devices);

}  // namespace zarvi::pulse
