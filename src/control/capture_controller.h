#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/capture_service.h"
#include "platform/platform.h"
#include "protocol/events.h"
#include "protocol/pcm_writer.h"
#include "runtime/serial_queue.h"
#include "signal/audio_mixer.h"
#include "sources/mic_capture.h"
#include "sources/start_gate.h"
#include "sources/system_audio_handler.h"

namespace zarvi {

// Turns the commands into capture: system audio first, then the microphone, both into one mixer.
// Its operations block until the platform's completions arrive; the caller runs them one at a time.
class CaptureController {
 public:
  // The platform and both sinks must outlive the controller. makeCanceller: where echo cancellers
  // come from, the build's own unless a test says otherwise.
  CaptureController(platform::Platform& platform, EventSink& events, PcmWriter& pcm,
                    EchoCancellerMaker makeCanceller = makeEchoCanceller);

  void start();
  void stop();

  bool capturing() const { return isCapturing; }
  AudioMixer& sharedMixer() { return *mixer; }

 private:
  void startSystemAudio();
  // After a failure at start: a stream that comes in once there is an output to record.
  void watchForSystemAudio(const platform::StreamConfiguration& configuration);
  platform::DeviceChangeHandler systemAudioChanges();
  // ZARVI_AUDIO_ECHO_CANCEL=1: the one kept from the last capture, else a new one, or why there is none.
  Result<std::unique_ptr<EchoCanceller>> echoCancellerForStart();
  // Whether the canceller runs for this capture, and if not, why.
  void reportEchoCancelling(bool micOnly, const std::optional<Failure>& noCanceller);
  // System audio came after a start without it: the canceller that waited for it runs from now on.
  void startAwaitedEchoCanceller();
  void warnStartFailed(const std::string& description);
  MicCapture& micCapture();
  SystemAudioHandler& systemHandler();

  platform::Platform& platform;
  EventSink& events;
  EchoCancellerMaker makeCanceller;
  std::shared_ptr<AudioMixer> mixer;
  // Held over each start: a source that failed and comes back at once says so after capture_started.
  StartGate startGate;
  std::shared_ptr<MicCapture> micCapture_;
  std::unique_ptr<SystemAudioHandler> systemHandler_;
  VideoNoopHandler videoNoop;
  runtime::SerialQueue scQueue;
  std::unique_ptr<platform::CaptureStream> stream;  // declared after the queue: it goes first
  // Whether the stream started with the capture; one that only watches for an output stops silently.
  bool streamStarted = false;
  bool isCapturing = false;

  // The devices an echo path runs between: what the canceller learnt holds for these alone.
  struct EchoPath {
    std::string microphone;
    std::string output;
    bool operator==(const EchoPath&) const = default;
  };
  std::string outputAtStart;  // the output the system audio started on, empty when it did not
  // The canceller's path when it started with the capture; none when it started later.
  std::optional<EchoPath> echoPath;
  std::unique_ptr<EchoCanceller> keptCanceller;
  EchoPath keptPath;
  std::mutex awaitingLock;  // the device-change handler reads it on the backend's thread
  std::unique_ptr<EchoCanceller> awaitingSystemAudio;
};

}  // namespace zarvi
