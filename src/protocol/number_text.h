#pragma once

#include <cstddef>
#include <string>

namespace zarvi {

// A rate in its shortest exact decimal form, always with a fractional part: 48000 -> "48000.0".
std::string formatRate(double value);

// A level with "%.4f": the float widened to double, fixed point, four decimals; "inf", "-inf", and
// "nan" for every NaN, whatever its sign bit.
std::string formatLevel(float value);

// ["0.5000", "-0.2500"]: each value as formatLevel, quoted, separated by a comma and a blank.
std::string formatSampleList(const float* samples, std::size_t count);

}  // namespace zarvi
