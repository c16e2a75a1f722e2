#include "sources/mic_capture.h"

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/events.h"
#include "protocol/number_text.h"
#include "protocol/process_values.h"
#include "signal/conversion.h"

namespace zarvi {

MicCapture::MicCapture(std::unique_ptr<platform::AudioEngine> engine, std::shared_ptr<AudioMixer> mixer,
                       EventSink& events, StartGate* startGate)
    : gate(startGate != nullptr ? *startGate : ownGate),
      engine(std::move(engine)),
      mixer(std::move(mixer)),
      events(events) {}

void MicCapture::emitFormatFull(const platform::InputFormat& format) {
  events.emitEvent(EventType::debug, "mic_format_full sampleRate=" + formatRate(format.sampleRate) +
                                         " channels=" + std::to_string(format.channelCount) +
                                         " commonFormat=" + std::to_string(format.commonFormat) +
                                         " interleaved=" + (format.interleaved ? "true" : "false"));
}

void MicCapture::start() {
  if (isRunning || isWatching) return;
  const auto starting = gate.holdForStart();
  const platform::InputFormat startFormat = engine->inputFormat();
  events.emitEvent(EventType::status, "mic_format: " + formatRate(startFormat.sampleRate) + "Hz, " +
                                          std::to_string(startFormat.channelCount) + "ch");
  emitFormatFull(startFormat);
  format = startFormat;
  startDevice = startFormat.deviceId;

  std::weak_ptr<MicCapture> weakSelf = weak_from_this();
  engine->installTap(tapBufferFrames, startFormat, [weakSelf](const platform::TapBuffer& buffer) {
    if (const auto self = weakSelf.lock()) self->handleTapBuffer(buffer);
  });
  const auto started = engine->start(gate.afterStart([weakSelf](const platform::DeviceEvent& event) {
    if (const auto self = weakSelf.lock()) self->handleDeviceChange(event);
  }));
  if (!started) {
    // The engine watches for a microphone from now on, with the tap in place for it; stop() removes
    // both, so the next start installs exactly one tap.
    isWatching = true;
    events.emitEvent(EventType::error, "Mic start failed: " + started.error());
    mixer->setMicrophoneDriving(false);
    return;
  }
  isRunning = true;
  mixer->setMicrophoneDriving(true);
  events.emitEvent(EventType::status, "mic_started");
}

void MicCapture::handleDeviceChange(const platform::DeviceEvent& event) {
  switch (event.change) {
    case platform::DeviceChange::lost:
      mixer->setMicrophoneDriving(false);
      events.emitEvent(EventType::error, "Mic stream failed: " + event.description);
      return;
    case platform::DeviceChange::switched:
    case platform::DeviceChange::resumed:
      format = event.format;
      events.emitEvent(
          EventType::status,
          (event.change == platform::DeviceChange::switched ? "mic_switched: " : "mic_resumed: ") +
              event.description);
      emitFormatFull(format);
      mixer->echoPathChanged();
      mixer->setMicrophoneDriving(true);
      return;
  }
}

void MicCapture::stop() {
  if (!isRunning && !isWatching) return;
  engine->removeTap();
  engine->stop();
  // A microphone that came only after a failed start stops silently: the stop's events answer the
  // start's.
  const bool wasRunning = isRunning;
  isRunning = false;
  isWatching = false;
  if (wasRunning) events.emitEvent(EventType::status, "mic_stopped");
}

void MicCapture::handleTapBuffer(const platform::TapBuffer& buffer) {
  if (buffer.floatChannelData == nullptr) return;
  const auto frames = static_cast<std::int64_t>(buffer.frameLength);
  const auto channels = static_cast<std::int64_t>(format.channelCount);
  // Interleaved input holds all channels in the first run; planar input one run per channel.
  const bool interleaved = format.interleaved && channels > 1;
  ++bufCount;

  if (VERBOSE_AUDIO && bufCount <= 5) {
    std::vector<float> channel0;
    if (channels > 0) {
      const float* first = buffer.floatChannelData[0];
      if (interleaved) {
        channel0.resize(static_cast<std::size_t>(frames));
        for (std::int64_t f = 0; f < frames; ++f) channel0[static_cast<std::size_t>(f)] = first[f * channels];
      } else {
        channel0.assign(first, first + frames);
      }
    }
    events.emitEvent(
        EventType::debug,
        "mic_buf#" + std::to_string(bufCount) + " frames=" + std::to_string(frames) +
            " ch=" + std::to_string(channels) + " ch0Rms=" +
            formatLevel(rmsFloatPtr(channel0.data(), static_cast<std::int64_t>(channel0.size()))) +
            " first8=" + formatSampleList(channel0.data(), std::min<std::size_t>(channel0.size(), 8)));
  }

  std::vector<float> block;
  if (channels == 1) {
    if (frames > 0)
      block = resampleToMono16k({buffer.floatChannelData[0], static_cast<std::size_t>(frames)},
                                format.sampleRate);
  } else if (interleaved) {
    block = toMono16k(buffer.floatChannelData[0], frames, channels, format.sampleRate);
  } else if (channels > 1) {
    // Channel runs that already lie one after another are a planar block as they are; others are
    // gathered first. Both give the same samples: the downmix adds the channels in the same order.
    bool contiguous = true;
    for (std::int64_t c = 1; c < channels && contiguous; ++c) {
      contiguous = buffer.floatChannelData[c] == buffer.floatChannelData[0] + c * frames;
    }
    if (contiguous) {
      block = toMono16kPlanar(buffer.floatChannelData[0], frames, channels, format.sampleRate);
    } else {
      std::vector<float> planar(static_cast<std::size_t>(frames * channels));
      for (std::int64_t c = 0; c < channels; ++c) {
        std::copy_n(buffer.floatChannelData[c], frames, planar.begin() + c * frames);
      }
      block = toMono16kPlanar(planar.data(), frames, channels, format.sampleRate);
    }
  }
  mixer->pushMic(block);
}

}  // namespace zarvi
