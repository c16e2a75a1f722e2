#include "signal/audio_mixer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "protocol/events.h"
#include "protocol/number_text.h"
#include "protocol/process_values.h"
#include "signal/conversion.h"

namespace zarvi {

std::int16_t toPcmSample(float mixed) {
  // Written so that NaN falls to the upper bound: every comparison with NaN is false.
  const float clamped = mixed < 1.0F ? std::max(mixed, -1.0F) : 1.0F;
  const float scaled = clamped * 32767.0F;
  return static_cast<std::int16_t>(scaled);
}

namespace {

void appendSample(std::string& bytes, float sample) {
  const auto pcm = static_cast<std::uint16_t>(toPcmSample(sample));
  bytes += static_cast<char>(pcm & 0xFF);
  bytes += static_cast<char>(pcm >> 8);
}

// System audio with no microphone: alone as the mix, or beside a silent microphone channel.
void appendSystemAlone(std::string& bytes, std::span<const float> system, AudioMixer::Layout layout) {
  for (const float sample : system) {
    if (layout == AudioMixer::Layout::separateTracks) appendSample(bytes, 0.0F);
    appendSample(bytes, sample);
  }
}

}  // namespace

void AudioMixer::pushSystem(std::span<const float> samples) {
  if (samples.empty()) return;
  const std::lock_guard<std::mutex> hold(lock);
  // What the loudspeakers played, every sample of it, before any gives way to the waiting bound.
  if (canceller) canceller->feedReference(samples);
  if (!microphoneDriving) {
    // The waiting samples are older than the block: they go first, and none is written twice. The
    // write happens under the mixer's lock so that a microphone taking over cannot overtake it.
    const std::size_t channels = layout == Layout::separateTracks ? 2 : 1;
    std::string bytes;
    bytes.reserve(2 * channels * (sysBuffer.size() + samples.size()));
    appendSystemAlone(bytes, sysBuffer, layout);
    appendSystemAlone(bytes, samples, layout);
    sysBuffer.clear();
    pcm.writePcm(bytes);
    return;
  }
  // Only the newest maxSysBufferSamples can survive, so a long block is cut before it is copied.
  const auto bound = static_cast<std::size_t>(maxSysBufferSamples);
  if (samples.size() > bound) samples = samples.last(bound);
  const std::size_t excess =
      sysBuffer.size() + samples.size() > bound ? sysBuffer.size() + samples.size() - bound : 0;
  sysBuffer.erase(sysBuffer.begin(), sysBuffer.begin() + static_cast<std::ptrdiff_t>(excess));
  sysBuffer.insert(sysBuffer.end(), samples.begin(), samples.end());
}

void AudioMixer::pushMic(std::span<const float> input) {
  if (input.empty()) return;
  std::span<const float> samples = input;
  std::vector<float> cancelled;
  EchoCanceller::Measure echo;
  std::optional<int> beyondReachMs;
  const std::size_t micN = samples.size();
  std::string bytes;
  std::size_t sysAvail = 0;
  float sysRms = 0.0F;
  std::int64_t clipped = 0;
  float maxAbsMixed = 0.0F;
  std::int64_t n = 0;
  bool describe = false;
  {
    const std::lock_guard<std::mutex> hold(lock);
    n = ++pushCount_;
    describe = VERBOSE_AUDIO && (n <= 5 || n % 50 == 0);
    if (canceller) {
      cancelled.assign(input.begin(), input.end());
      canceller->cancel(cancelled);
      samples = cancelled;
      if (describe) echo = canceller->measure();
      if (!saidBeyondReach) {
        beyondReachMs = canceller->delayBeyondReachMs();
        saidBeyondReach = beyondReachMs.has_value();
      }
    }
    sysAvail = std::min(micN, sysBuffer.size());
    if (describe) sysRms = rmsFloatPtr(sysBuffer.data(), static_cast<std::int64_t>(sysAvail));
    const auto note = [&](float written) {
      const float magnitude = std::fabs(written);
      if (magnitude > 1.0F) ++clipped;
      if (maxAbsMixed < magnitude) maxAbsMixed = magnitude;
    };
    if (layout == Layout::separateTracks) {
      // A missing system sample is silence on its channel.
      bytes.reserve(micN * 4);
      for (std::size_t i = 0; i < micN; ++i) {
        const float system = i < sysAvail ? sysBuffer[i] : 0.0F;
        note(samples[i]);
        note(system);
        appendSample(bytes, samples[i]);
        appendSample(bytes, system);
      }
    } else {
      bytes.reserve(micN * 2);
      for (std::size_t i = 0; i < micN; ++i) {
        const float mixed = i < sysAvail ? samples[i] + sysBuffer[i] : samples[i];
        note(mixed);
        appendSample(bytes, mixed);
      }
    }
    sysBuffer.erase(sysBuffer.begin(), sysBuffer.begin() + static_cast<std::ptrdiff_t>(sysAvail));
  }
  pcm.writePcm(bytes);
  if (beyondReachMs) {
    events.emitEvent(EventType::warn, "echo_cancel_out_of_reach: the echo comes " +
                                          std::to_string(*beyondReachMs) +
                                          " ms late; echo cancelling follows echoes up to " +
                                          std::to_string(kFollowedEchoDelayMs) + " ms late");
  }
  if (describe && !cancelled.empty()) {
    events.emitEvent(
        EventType::debug,
        "aec#" + std::to_string(n) + " echoRemovedDb=" + formatLevel(static_cast<float>(echo.echoRemovedDb)) +
            " delayMs=" + std::to_string(echo.delayMs) +
            " micRms=" + formatLevel(rmsFloatPtr(input.data(), static_cast<std::int64_t>(micN))) +
            " outRms=" + formatLevel(rmsFloatPtr(samples.data(), static_cast<std::int64_t>(micN))));
  }
  if (describe) {
    const float micRms = rmsFloatPtr(samples.data(), static_cast<std::int64_t>(micN));
    events.emitEvent(EventType::debug,
                     "mix#" + std::to_string(n) + " micN=" + std::to_string(micN) +
                         " sysAvail=" + std::to_string(sysAvail) + " micRms=" + formatLevel(micRms) +
                         " sysRms=" + formatLevel(sysRms) + " clipped=" + std::to_string(clipped) +
                         " maxAbsMixed=" + formatLevel(maxAbsMixed));
  }
}

void AudioMixer::setMicrophoneDriving(bool driving) {
  const std::lock_guard<std::mutex> hold(lock);
  microphoneDriving = driving;
}

void AudioMixer::setLayout(Layout newLayout) {
  const std::lock_guard<std::mutex> hold(lock);
  layout = newLayout;
}

void AudioMixer::setEchoCanceller(std::unique_ptr<EchoCanceller> newCanceller) {
  const std::lock_guard<std::mutex> hold(lock);
  canceller = std::move(newCanceller);
  echoPathMoved = false;
  saidBeyondReach = false;
}

std::unique_ptr<EchoCanceller> AudioMixer::takeEchoCanceller() {
  const std::lock_guard<std::mutex> hold(lock);
  std::unique_ptr<EchoCanceller> taken = std::move(canceller);
  if (!taken || echoPathMoved) return nullptr;
  taken->pause();
  return taken;
}

void AudioMixer::echoPathChanged() {
  const std::lock_guard<std::mutex> hold(lock);
  if (canceller) canceller->reset();
  echoPathMoved = true;
}

void AudioMixer::startEchoPathOver() {
  const std::lock_guard<std::mutex> hold(lock);
  if (canceller) canceller->reset();
}

void AudioMixer::clearBuffers() {
  const std::lock_guard<std::mutex> hold(lock);
  std::vector<float>().swap(sysBuffer);
}

std::int64_t AudioMixer::pushCount() const {
  const std::lock_guard<std::mutex> hold(lock);
  return pushCount_;
}

std::size_t AudioMixer::waitingSystemSamples() const {
  const std::lock_guard<std::mutex> hold(lock);
  return sysBuffer.size();
}

}  // namespace zarvi
