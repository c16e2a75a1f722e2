#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zarvi::fuzzing {

// The next value of the fuzzer's bytes; missing bytes read as zero.
template <typename T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace zarvi::fuzzing
