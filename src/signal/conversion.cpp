#include "signal/conversion.h"

#include <array>
#include <cmath>
#include <string_view>

#include "protocol/process_values.h"

namespace zarvi {
namespace {

// Index of frame i, channel c in a run of frameCount frames of the given channel count.
struct Interleaved {
  static std::int64_t at(std::int64_t i, std::int64_t c, std::int64_t channels, std::int64_t /*frameCount*/) {
    return i * channels + c;
  }
};
struct Planar {
  static std::int64_t at(std::int64_t i, std::int64_t c, std::int64_t /*channels*/, std::int64_t frameCount) {
    return c * frameCount + i;
  }
};

template <typename Layout>
std::vector<float> downmixAndResample(const float* samples, std::int64_t frameCount, std::int64_t channels,
                                      double sampleRate) {
  if (frameCount < 1 || channels < 1) return {};
  const auto divisor = static_cast<float>(channels);
  std::vector<float> mono(static_cast<std::size_t>(frameCount));
  for (std::int64_t i = 0; i < frameCount; ++i) {
    float sum = 0.0F;
    for (std::int64_t c = 0; c < channels; ++c) sum += samples[Layout::at(i, c, channels, frameCount)];
    mono[static_cast<std::size_t>(i)] = sum / divisor;
  }
  return resampleToMono16k(mono, sampleRate);
}

}  // namespace

float rmsFloatPtr(const float* samples, std::int64_t count) {
  if (count <= 0) return 0.0F;
  double sumOfSquares = 0.0;
  for (std::int64_t i = 0; i < count; ++i) {
    const auto sample = static_cast<double>(samples[i]);
    sumOfSquares += sample * sample;
  }
  return static_cast<float>(std::sqrt(sumOfSquares / static_cast<double>(count)));
}

std::string describeFormatFlags(std::uint32_t flags) {
  static constexpr std::array<std::string_view, 7> kNames = {
      "Float", "BigEndian", "SignedInt", "Packed", "AlignedHigh", "NonInterleaved", "NonMixable"};
  std::string names;
  for (std::size_t bit = 0; bit < kNames.size(); ++bit) {
    if ((flags & (1U << bit)) == 0) continue;
    if (!names.empty()) names += '|';
    names += kNames[bit];
  }
  return names.empty() ? "(none)" : names;
}

std::vector<float> resampleToMono16k(std::span<const float> samples, double sourceSampleRate) {
  const auto n = static_cast<std::int64_t>(samples.size());
  if (n == 0) return {};
  // Below the lowest audio rate a block would grow without bound (16000 outputs per input sample at
  // 1 Hz): a rate that is no audio rate gives nothing, like one that is no number.
  if (!std::isfinite(sourceSampleRate) || sourceSampleRate < kMinimumSourceSampleRate) return {};
  const double ratio = TARGET_SAMPLE_RATE / sourceSampleRate;
  const double exactCount = ratio * static_cast<double>(n);
  if (!(exactCount >= 1.0)) return {};
  const auto outCount = static_cast<std::int64_t>(exactCount);

  std::vector<float> out(static_cast<std::size_t>(outCount));
  for (std::int64_t i = 0; i < outCount; ++i) {
    // Dividing by the ratio, not multiplying by its inverse: the two round differently.
    const double pos = static_cast<double>(i) / ratio;
    const auto i0 = static_cast<std::int64_t>(pos);
    const auto frac = static_cast<float>(pos - static_cast<double>(i0));
    const float s0 = i0 < n ? samples[static_cast<std::size_t>(i0)] : 0.0F;
    const float s1 = i0 + 1 < n ? samples[static_cast<std::size_t>(i0 + 1)] : s0;
    const float step = (s1 - s0) * frac;
    out[static_cast<std::size_t>(i)] = s0 + step;
  }
  return out;
}

std::vector<float> toMono16k(const float* fromFloat32, std::int64_t frameCount, std::int64_t channels,
                             double sampleRate) {
  return downmixAndResample<Interleaved>(fromFloat32, frameCount, channels, sampleRate);
}

std::vector<float> toMono16kPlanar(const float* fromFloat32, std::int64_t frameCount, std::int64_t channels,
                                   double sampleRate) {
  return downmixAndResample<Planar>(fromFloat32, frameCount, channels, sampleRate);
}

}  // namespace zarvi
