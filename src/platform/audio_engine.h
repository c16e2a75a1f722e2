#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/result.h"

namespace zarvi::platform {

// The default input device as the engine reads it.
struct InputFormat {
  double sampleRate = 0.0;
  std::uint32_t channelCount = 0;
  std::uint32_t commonFormat = 0;  // 1: 32-bit float
  bool interleaved = false;
};

inline constexpr std::uint32_t kCommonFormatFloat32 = 1;

// One buffer handed to the tap. floatChannelData is null when the samples are not float; otherwise it
// holds one pointer per channel (planar), or one pointer to interleaved frames when the format says so.
struct TapBuffer {
  const float* const* floatChannelData = nullptr;
  std::uint32_t frameLength = 0;
};

using TapBlock = std::function<void(const TapBuffer&)>;

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

// Microphone: an engine with one input node and at most one tap on it. Made stopped, with no tap.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  virtual InputFormat inputFormat() = 0;
  // The tap is called on the engine's delivery thread, one buffer at a time, while the engine runs.
  virtual void installTap(std::uint32_t bufferFrames, const InputFormat& format, TapBlock block) = 0;
  // When it returns the tap is gone and no call of it is still running.
  virtual void removeTap() = 0;
  // While it runs, the engine follows the default input device
  // and tells onDeviceChange on the delivery thread, between two buffers, so that a buffer after a
  // switched or resumed event has the event's format; never after stop().
  virtual Result<> start(DeviceChangeHandler onDeviceChange) = 0;
  virtual void stop() = 0;
};

}  // namespace zarvi::platform
