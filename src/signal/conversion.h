#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zarvi {

// Root mean square: squares summed in double precision in index order. 0 for a count of 0 or less.
float rmsFloatPtr(const float* samples, std::int64_t count);

// Names of the set bits 0..6 of an audio format flags word, joined with "|"; "(none)" when none is set.
std::string describeFormatFlags(std::uint32_t flags);

// A source rate below 1000 Hz (0 and negative rates included), an infinite rate, or a rate that is not
// a number gives an empty block; so no block has more than 16 output samples per input sample.
inline constexpr double kMinimumSourceSampleRate = 1000.0;

// Linear interpolation to TARGET_SAMPLE_RATE, each block on its own (no phase carries over).
std::vector<float> resampleToMono16k(std::span<const float> samples, double sourceSampleRate);

// Downmix interleaved frames (element i * channels + c) to mono, then resample.
std::vector<float> toMono16k(const float* fromFloat32, std::int64_t frameCount, std::int64_t channels,
                             double sampleRate);

// The same for planar frames (element c * frameCount + i).
std::vector<float> toMono16kPlanar(const float* fromFloat32, std::int64_t frameCount, std::int64_t channels,
                                   double sampleRate);

}  // namespace zarvi
