#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/device_change.h"
#include "runtime/result.h"

namespace zarvi::platform {

// One buffer handed to the tap. floatChannelData is null when the samples are not float; otherwise it
// holds one pointer per channel (planar), or one pointer to interleaved frames when the format says so.
struct TapBuffer {
  const float* const* floatChannelData = nullptr;
  std::uint32_t frameLength = 0;
};

using TapBlock = std::function<void(const TapBuffer&)>;

// Microphone: an engine with one input node and at most one tap on it. Made stopped, with no tap.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  virtual InputFormat inputFormat() = 0;
  // The tap is called on the engine's delivery thread, one buffer at a time, while the engine runs.
  virtual void installTap(std::uint32_t bufferFrames, const InputFormat& format, TapBlock block) = 0;
  // When it returns the tap is gone and no call of it is still running.
  virtual void removeTap() = 0;
  // While it runs, the engine follows the default input device and tells onDeviceChange on the
  // delivery thread, between two buffers, so that a buffer after a switched or resumed event has the
  // event's format; never after stop(). An engine that could not start says why and follows as one
  // whose device was lost: it tells resumed once it records, until stop().
  virtual Result<> start(DeviceChangeHandler onDeviceChange) = 0;
  virtual void stop() = 0;
};

}  // namespace zarvi::platform
