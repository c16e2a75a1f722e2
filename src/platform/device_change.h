#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zarvi::platform {

// The default input device as the engine reads it.
struct InputFormat {
  double sampleRate = 0.0;
  std::uint32_t channelCount = 0;
  std::uint32_t commonFormat = 0;  // 1: 32-bit float
  bool interleaved = false;
  // Which device: the backend's own id for it (a source name, an endpoint id), empty for none.
  std::string deviceId;
};

inline constexpr std::uint32_t kCommonFormatFloat32 = 1;

// What happened to the device a running source records, as the source follows the server's defaults.
enum class DeviceChange {
  switched,  // it now records another device of the right kind
  lost,      // the device is gone (or the server) and nothing can take its place: it records nothing
  resumed,   // after a loss, it records a device again
};

struct DeviceEvent {
  DeviceChange change = DeviceChange::lost;
  // switched, resumed: the device's human-readable description (its name when it has none);
  // lost: the description of the failure.
  std::string description;
  // switched, resumed: the format buffers have from now on (a microphone's only).
  InputFormat format;
};

using DeviceChangeHandler = std::function<void(const DeviceEvent&)>;

}  // namespace zarvi::platform
