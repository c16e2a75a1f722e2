#include "platform/pulse/pulse_audio_engine.h"

#include "platform/pulse/block_frames.h"
#include "platform/pulse/pulse_queries.h"

namespace zarvi::pulse {

platform::InputFormat PulseAudioEngine::inputFormat() {
  const Deadline deadline = deadlineFromNow();
  formatError_.reset();
  std::string error;
  std::optional<SourceDescription> source;
  if (ensureConnected(context_, "pulse-mic", deadline, error)) {
    PulseContext::Lock hold(*context_);
    if (const auto defaults = queryServerDefaults(*context_, deadline, error)) {
      sourceName_ = defaults->defaultSourceName;
      if (sourceName_.empty()) {
        error = describePulseError(PA_ERR_NOENTITY);
      } else {
        source = querySource(*context_, sourceName_, deadline, error);
      }
    }
  }
  if (source && source->isMonitor) {
    source.reset();
    error = describePulseError(PA_ERR_NOENTITY) + " (the default source " + sourceName_ +
            " is the monitor of a sink, not a microphone)";
  }
  if (!source) {
    formatError_ = error;
    return {};
  }
  sampleSpec_ = {PA_SAMPLE_FLOAT32NE, source->sampleSpec.rate, source->sampleSpec.channels};
  return {static_cast<double>(sampleSpec_.rate), sampleSpec_.channels, platform::kCommonFormatFloat32, false};
}

void PulseAudioEngine::installTap(std::uint32_t bufferFrames, const platform::InputFormat& format,
                                  platform::TapBlock block) {
  blockFrames_ = chooseBlockFrames(format.sampleRate, bufferFrames);
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = std::move(block);
}

void PulseAudioEngine::removeTap() {
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = nullptr;
}

std::optional<std::string> PulseAudioEngine::start(platform::FailureHandler onFailure) {
  if (formatError_) return formatError_;
  if (recorder_) return std::nullopt;
  const PulseRecorder::Request request{sourceName_, sampleSpec_, blockFrames_,
                                       std::max<std::size_t>(sampleSpec_.rate, 4 * blockFrames_)};
  std::string error;
  recorder_ = PulseRecorder::open(
      context_, request, delivery_,
      [this](const float* interleaved, std::size_t frames) { deliver(interleaved, frames); },
      std::move(onFailure), deadlineFromNow(), error);
  if (!recorder_) return error;
  return std::nullopt;
}

void PulseAudioEngine::stop() {
  recorder_.reset();
}

void PulseAudioEngine::deliver(const float* interleaved, std::size_t frames) {
  const std::size_t channels = sampleSpec_.channels;
  planar_.resize(frames * channels);
  channelRuns_.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    float* run = planar_.data() + c * frames;
    channelRuns_[c] = run;
    for (std::size_t f = 0; f < frames; ++f) run[f] = interleaved[f * channels + c];
  }
  const platform::TapBuffer buffer{channelRuns_.data(), static_cast<std::uint32_t>(frames)};
  const std::lock_guard<std::mutex> hold(tapMutex_);
  if (tap_) tap_(buffer);
}

}  // namespace zarvi::pulse
