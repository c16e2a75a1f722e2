#include "support/pcm.h"

namespace zarvi::testing {

std::vector<std::int16_t> pcmSamples(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto low = static_cast<std::uint8_t>(bytes[2 * i]);
    const auto high = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
  }
  return samples;
}

std::vector<double> pcmLevels(const std::string& bytes) {
  std::vector<double> levels;
  for (const std::int16_t sample : pcmSamples(bytes)) levels.push_back(sample / 32767.0);
  return levels;
}

}  // namespace zarvi::testing
