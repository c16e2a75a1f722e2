#pragma once

#include <cstdint>

namespace zarvi::platform {

// The microphone block length for a source rate: the length nearest to preferredFrames (the shorter
// one on a tie) whose conversion to 16 kHz gives a whole number of samples, exactly as the resampler
// computes it, so that the PCM stream keeps the source's clock with no drift. preferredFrames when no
// length within a factor of two qualifies.
std::uint32_t chooseBlockFrames(double sampleRate, std::uint32_t preferredFrames);

}  // namespace zarvi::platform
