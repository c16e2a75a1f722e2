#include "platform/follow/block_frames.h"

#include <cmath>

#include "protocol/process_values.h"

namespace zarvi::platform {
namespace {

bool convertsToWholeSamples(double sampleRate, std::uint32_t frames) {
  // The resampler's own arithmetic: ratio first, then the product, truncated.
  const double ratio = TARGET_SAMPLE_RATE / sampleRate;
  const double produced = std::trunc(ratio * static_cast<double>(frames));
  // What the source's clock says the block lasts, in 16 kHz samples, must be that whole number.
  return produced >= 1.0 && produced * sampleRate == static_cast<double>(frames) * TARGET_SAMPLE_RATE;
}

}  // namespace

std::uint32_t chooseBlockFrames(double sampleRate, std::uint32_t preferredFrames) {
  if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) return preferredFrames;
  for (std::uint32_t distance = 0; distance < preferredFrames / 2; ++distance) {
    if (convertsToWholeSamples(sampleRate, preferredFrames - distance)) return preferredFrames - distance;
    if (convertsToWholeSamples(sampleRate, preferredFrames + distance)) return preferredFrames + distance;
  }
  return preferredFrames;
}

}  // namespace zarvi::platform
