#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarvi::testing {

// The tool's PCM stream (signed 16-bit little-endian) as samples.
std::vector<std::int16_t> pcmSamples(const std::string& bytes);

// The same at full scale 1.0 (32767 -> 1.0).
std::vector<double> pcmLevels(const std::string& bytes);

}  // namespace zarvi::testing
