#include "control/capture_controller.h"

#include <future>
#include <optional>
#include <string>

#include "protocol/events.h"
#include "protocol/process_values.h"

namespace zarvi {
namespace {

// Waits for a completion that the platform promises to call exactly once.
template <typename Result, typename Call>
Result awaitCompletion(Call&& call) {
  std::promise<Result> promise;
  auto future = promise.get_future();
  call([&promise](Result result) { promise.set_value(std::move(result)); });
  return future.get();
}

void reportSystemAudioDeviceChange(EventSink& events, const platform::DeviceEvent& event) {
  switch (event.change) {
    case platform::DeviceChange::switched:
      events.emitEvent(EventType::status, "system_audio_switched: " + event.description);
      return;
    case platform::DeviceChange::lost:
      events.emitEvent(EventType::warn, "system_audio_stream_failed: " + event.description);
      return;
    case platform::DeviceChange::resumed:
      events.emitEvent(EventType::status, "system_audio_resumed: " + event.description);
      return;
  }
}

}  // namespace

CaptureController::CaptureController(platform::Platform& platform, EventSink& events, PcmWriter& pcm,
                                     EchoCancellerMaker makeCanceller)
    : platform(platform),
      events(events),
      makeCanceller(std::move(makeCanceller)),
      mixer(std::make_shared<AudioMixer>(pcm, events)),
      scQueue("zarvi.sck.audio") {}

void CaptureController::warnStartFailed(const std::string& description) {
  events.emitEvent(EventType::warn, "system_audio_start_failed: " + description);
}

MicCapture& CaptureController::micCapture() {
  if (!micCapture_)
    micCapture_ = std::make_shared<MicCapture>(platform.makeAudioEngine(), mixer, events, &startGate);
  return *micCapture_;
}

SystemAudioHandler& CaptureController::systemHandler() {
  if (!systemHandler_) systemHandler_ = std::make_unique<SystemAudioHandler>(mixer, events);
  return *systemHandler_;
}

void CaptureController::start() {
  if (isCapturing) {
    events.emitEvent(EventType::warn, "Already capturing");
    return;
  }
  const auto starting = startGate.holdForStart();
  mixer->clearBuffers();
  mixer->setLayout(environmentSwitchIsOn("ZARVI_AUDIO_SEPARATE_TRACKS") ? AudioMixer::Layout::separateTracks
                                                                        : AudioMixer::Layout::mix);
  const bool micOnly = environmentSwitchIsOn("ZARVI_AUDIO_MIC_ONLY");
  const bool echoCancel = environmentSwitchIsOn("ZARVI_AUDIO_ECHO_CANCEL");
  mixer->setEchoCanceller(nullptr);
  std::unique_ptr<EchoCanceller> canceller;
  std::optional<Failure> noCanceller;
  const bool reusing = echoCancel && !micOnly && keptCanceller;
  if (echoCancel && !micOnly) {
    auto made = echoCancellerForStart();
    if (made) {
      canceller = std::move(made.value());
    } else {
      noCanceller = made.failure();
    }
  }
  if (micOnly) {
    events.emitEvent(EventType::status, "mic_only_mode");
  } else {
    startSystemAudio();
  }
  const bool cancelling = canceller && streamStarted;
  if (cancelling) {
    // In place before the microphone starts, so that its first block is already cancelled.
    mixer->setEchoCanceller(std::move(canceller));
  } else if (canceller) {
    const std::lock_guard<std::mutex> hold(awaitingLock);
    awaitingSystemAudio = std::move(canceller);
  }
  micCapture().start();
  if (echoCancel) reportEchoCancelling(micOnly, noCanceller);
  if (cancelling) {
    const EchoPath path{micCapture().deviceAtStart(), outputAtStart};
    // What a kept canceller learnt is of no use on other devices.
    if (reusing && path != keptPath) mixer->startEchoPathOver();
    echoPath = path;
  }
  isCapturing = true;
  events.emitEvent(EventType::status, "capture_started");
}

Result<std::unique_ptr<EchoCanceller>> CaptureController::echoCancellerForStart() {
  if (keptCanceller) return std::move(keptCanceller);
  return makeCanceller();
}

void CaptureController::stop() {
  if (!isCapturing) return;
  if (stream) {
    // A failed stop is of no use to anyone: the stream is dropped either way.
    (void)awaitCompletion<Result<>>(
        [this](platform::Completion done) { stream->stopCapture(std::move(done)); });
    if (streamStarted) events.emitEvent(EventType::status, "system_stopped");
  }
  stream.reset();
  streamStarted = false;
  outputAtStart.clear();
  micCapture().stop();
  {
    const std::lock_guard<std::mutex> hold(awaitingLock);
    awaitingSystemAudio.reset();
  }
  // Kept for the next capture when it learnt one path, between devices it knows.
  if (auto taken = mixer->takeEchoCanceller(); taken && echoPath) {
    keptCanceller = std::move(taken);
    keptPath = *echoPath;
  }
  echoPath.reset();
  isCapturing = false;
  events.emitEvent(EventType::status, "capture_stopped");
}

platform::DeviceChangeHandler CaptureController::systemAudioChanges() {
  return startGate.afterStart([this](const platform::DeviceEvent& event) {
    if (event.change != platform::DeviceChange::lost) mixer->echoPathChanged();
    reportSystemAudioDeviceChange(events, event);
    if (event.change == platform::DeviceChange::resumed) startAwaitedEchoCanceller();
  });
}

void CaptureController::startAwaitedEchoCanceller() {
  std::unique_ptr<EchoCanceller> canceller;
  {
    const std::lock_guard<std::mutex> hold(awaitingLock);
    canceller = std::move(awaitingSystemAudio);
  }
  if (!canceller) return;
  // One kept from an earlier capture learnt a path that need not be this one.
  canceller->reset();
  mixer->setEchoCanceller(std::move(canceller));
  events.emitEvent(EventType::status, "echo_cancel_started");
}

void CaptureController::reportEchoCancelling(bool micOnly, const std::optional<Failure>& noCanceller) {
  std::string why;
  // What holds for the whole capture comes first: missing system audio may still come.
  if (micOnly) {
    why = "microphone-only mode records no system audio";
  } else if (noCanceller) {
    why = noCanceller->description;
  } else if (!streamStarted) {
    why = "no system audio";
  } else {
    events.emitEvent(EventType::status, "echo_cancel_started");
    return;
  }
  events.emitEvent(EventType::warn, "echo_cancel_unavailable: " + why);
}

void CaptureController::startSystemAudio() {
  platform::StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = {1, 1};

  auto& service = platform.captureService();
  const auto content = awaitCompletion<platform::ContentResult>(
      [&service](auto done) { service.getShareableContent(std::move(done)); });
  if (!content) {
    warnStartFailed(content.error());
    watchForSystemAudio(configuration);
    return;
  }
  const auto& shareable = content.value();
  if (shareable.displays.empty()) {
    events.emitEvent(EventType::warn, "system_audio_no_display");
    watchForSystemAudio(configuration);
    return;
  }

  platform::ContentFilter filter{shareable.displays.front(), {}};
  const std::int32_t self = platform.processIdentifier();
  for (const auto& application : shareable.applications) {
    if (application.processID == self) filter.excludedApplications.push_back(application);
  }

  auto newStream = service.makeStream(filter, configuration);
  if (const auto added = newStream->addOutput(systemHandler(), platform::OutputType::audio, scQueue);
      !added) {
    warnStartFailed(added.error());
    return;
  }
  if (const auto added = newStream->addOutput(videoNoop, platform::OutputType::screen, scQueue); !added) {
    warnStartFailed(added.error());
    return;
  }
  const auto started = awaitCompletion<Result<>>([this, &newStream](platform::Completion done) {
    newStream->startCapture(std::move(done), systemAudioChanges());
  });
  // A stream that did not start watches for its output from now on.
  stream = std::move(newStream);
  if (!started) {
    warnStartFailed(started.error());
    return;
  }
  streamStarted = true;
  outputAtStart = filter.display.name;
  events.emitEvent(EventType::status, "system_started");
}

void CaptureController::watchForSystemAudio(const platform::StreamConfiguration& configuration) {
  // No display: the stream records whatever output the system has once it has one.
  auto newStream = platform.captureService().makeStream({}, configuration);
  if (!newStream->addOutput(systemHandler(), platform::OutputType::audio, scQueue) ||
      !newStream->addOutput(videoNoop, platform::OutputType::screen, scQueue)) {
    return;
  }
  newStream->watchForOutput(systemAudioChanges());
  stream = std::move(newStream);
}

}  // namespace zarvi
