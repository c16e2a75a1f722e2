#include "sources/system_audio_handler.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/events.h"
#include "protocol/number_text.h"
#include "protocol/process_values.h"
#include "signal/conversion.h"

namespace zarvi {

SystemAudioHandler::SystemAudioHandler(std::shared_ptr<AudioMixer> mixer, EventSink& events)
    : mixer(std::move(mixer)), events(events) {}

void SystemAudioHandler::didOutput(const platform::SampleBuffer& buffer, platform::OutputType type) {
  if (type != platform::OutputType::audio) return;
  if (!buffer.isValid || !buffer.description || !buffer.data) return;
  const platform::StreamBasicDescription& d = *buffer.description;
  if ((d.formatFlags & platform::kFormatFlagIsFloat) == 0 || d.bitsPerChannel != 32 || d.bytesPerFrame == 0)
    return;
  const platform::ByteRun run = *buffer.data;
  if (run.pointer == nullptr || run.totalLength < 0) return;

  const bool nonInterleaved = (d.formatFlags & platform::kFormatFlagIsNonInterleaved) != 0;
  const auto channels = static_cast<std::int64_t>(d.channelsPerFrame);
  std::int64_t frameCount = run.totalLength / static_cast<std::int64_t>(d.bytesPerFrame);
  if (nonInterleaved) frameCount /= std::max<std::int64_t>(channels, 1);
  // A description that does not fit its own bytes must not make the conversion read past them.
  const std::int64_t rawFloats = run.totalLength / 4;
  frameCount = std::min(frameCount, rawFloats / std::max<std::int64_t>(channels, 1));

  ++bufCount;
  if (bufCount == 1) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", d.formatFlags);
    events.emitEvent(
        EventType::debug,
        "sys_format rate=" + formatRate(d.sampleRate) + " channels=" + std::to_string(d.channelsPerFrame) +
            " bitsPerChannel=" + std::to_string(d.bitsPerChannel) + " bytesPerFrame=" +
            std::to_string(d.bytesPerFrame) + " bytesPerPacket=" + std::to_string(d.bytesPerPacket) +
            " framesPerPacket=" + std::to_string(d.framesPerPacket) + " flags=0x" + hex + "(" +
            describeFormatFlags(d.formatFlags) + ") totalLength=" + std::to_string(run.totalLength) +
            " frameCount=" + std::to_string(frameCount) +
            " isNonInterleaved=" + (nonInterleaved ? "true" : "false"));
  }

  // The bytes come from the platform with no alignment promise; floats are read from an aligned copy
  // when they need one.
  std::vector<float> aligned;
  const auto* samples = static_cast<const float*>(run.pointer);
  if (reinterpret_cast<std::uintptr_t>(run.pointer) % alignof(float) != 0) {
    aligned.resize(static_cast<std::size_t>(rawFloats));
    if (rawFloats > 0) std::memcpy(aligned.data(), run.pointer, aligned.size() * sizeof(float));
    samples = aligned.data();
  }

  const bool describe = VERBOSE_AUDIO && bufCount <= 5;
  if (describe) {
    events.emitEvent(
        EventType::debug,
        "sys_buf#" + std::to_string(bufCount) + " rawFloats=" + std::to_string(rawFloats) +
            " rawRms=" + formatLevel(rmsFloatPtr(samples, rawFloats)) + " first8=" +
            formatSampleList(samples, static_cast<std::size_t>(std::min<std::int64_t>(rawFloats, 8))));
  }
  const std::vector<float> block = nonInterleaved
                                       ? toMono16kPlanar(samples, frameCount, channels, d.sampleRate)
                                       : toMono16k(samples, frameCount, channels, d.sampleRate);
  if (describe) {
    events.emitEvent(
        EventType::debug,
        "sys_buf#" + std::to_string(bufCount) + " postResample n=" + std::to_string(block.size()) +
            " rms=" + formatLevel(rmsFloatPtr(block.data(), static_cast<std::int64_t>(block.size()))));
  }
  mixer->pushSystem(block);
}

}  // namespace zarvi
