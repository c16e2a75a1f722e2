// The conversion functions with arbitrary sizes, layouts and rates. The samples sit in a heap block of
// exactly the size that the arguments name, so any read past it is caught; no output may grow beyond
// sixteen samples per input frame.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "signal/conversion.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto selector = zarvi::fuzzing::take<std::uint8_t>(data, size);
  const auto rate = zarvi::fuzzing::take<double>(data, size);
  const auto channels = static_cast<std::int64_t>(zarvi::fuzzing::take<std::int16_t>(data, size));
  const auto flags = zarvi::fuzzing::take<std::uint32_t>(data, size);
  std::vector<float> samples(size / sizeof(float));
  if (!samples.empty()) std::memcpy(samples.data(), data, samples.size() * sizeof(float));
  const auto count = static_cast<std::int64_t>(samples.size());

  switch (selector % 5) {
    case 0:
      (void)zarvi::rmsFloatPtr(samples.data(), (selector & 0x80) != 0 ? -count : count);
      break;
    case 1:
      check(!zarvi::describeFormatFlags(flags).empty());
      break;
    case 2:
      check(zarvi::resampleToMono16k(samples, rate).size() <= 16 * samples.size());
      break;
    case 3:
    case 4: {
      // The frame count the run holds for the channel count; a negative or zero count is tried as it is.
      const std::int64_t frames = channels > 0 ? count / channels : count - 3;
      const auto out = selector % 5 == 3 ? zarvi::toMono16k(samples.data(), frames, channels, rate)
                                         : zarvi::toMono16kPlanar(samples.data(), frames, channels, rate);
      check(static_cast<std::int64_t>(out.size()) <= 16 * (frames > 0 ? frames : 0));
      break;
    }
  }
  return 0;
}
