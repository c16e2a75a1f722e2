#include "protocol/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zarvi {

std::string formatRate(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in fixed notation; the largest double needs 309 digits before the point.
  std::array<char, 400> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  std::string text(buffer.data(), result.ptr);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string formatLevel(float value) {
  // glibc prints the sign of a NaN ("-nan", which inf - inf gives on x86-64); a level that is not a
  // number has no sign.
  if (std::isnan(value)) return "nan";
  // snprintf formats in the C locale: the process never calls setlocale. The largest float takes
  // 39 digits before the point, so the buffer always holds the whole text.
  std::array<char, 64> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), "%.4f", static_cast<double>(value));
  return {buffer.data(), static_cast<std::size_t>(length)};
}

std::string formatSampleList(const float* samples, std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += '"';
    text += formatLevel(samples[i]);
    text += '"';
  }
  text += ']';
  return text;
}

}  // namespace zarvi
