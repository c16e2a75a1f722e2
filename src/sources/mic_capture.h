#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_engine.h"
#include "protocol/events.h"
#include "signal/audio_mixer.h"
#include "sources/start_gate.h"

namespace zarvi {

// The microphone source: one audio engine with a tap whose every buffer becomes a mono 16 kHz block
// pushed into the mixer. While it runs, the engine follows the default input device and the source
// reports each switch, loss and return (also of a microphone that was not there at the start); while
// it captures nothing, system audio drives the mixer.
// Always held by a shared_ptr: the tap refers to it weakly.
class MicCapture : public std::enable_shared_from_this<MicCapture> {
 public:
  static constexpr std::uint32_t tapBufferFrames = 4096;

  // The events, and the gate when one is given, must outlive the source. The gate holds the source's
  // device events back while a start is under way; a controller shares its own, held over the whole
  // of its start.
  MicCapture(std::unique_ptr<platform::AudioEngine> engine, std::shared_ptr<AudioMixer> mixer,
             EventSink& events, StartGate* startGate = nullptr);

  void start();
  void stop();
  // The device the last start found (the backend's id), empty when it found none. Its switches and
  // returns are not followed here.
  const std::string& deviceAtStart() const { return startDevice; }

 private:
  void handleTapBuffer(const platform::TapBuffer& buffer);
  void handleDeviceChange(const platform::DeviceEvent& event);
  void emitFormatFull(const platform::InputFormat& format);

  StartGate ownGate;
  StartGate& gate;
  std::unique_ptr<platform::AudioEngine> engine;
  bool isRunning = false;
  bool isWatching = false;  // the start failed, and the engine watches for a microphone
  std::shared_ptr<AudioMixer> mixer;
  EventSink& events;
  std::int64_t bufCount = 0;  // touched only on the engine's delivery thread
  // The format of the buffers: read at start, then changed only by the engine's device events, which
  // come on the delivery thread between two buffers.
  platform::InputFormat format;
  std::string startDevice;  // touched only by start, on the caller's thread
};

}  // namespace zarvi
