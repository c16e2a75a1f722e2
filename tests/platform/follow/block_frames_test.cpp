#include "platform/follow/block_frames.h"

#include <gtest/gtest.h>

#include <vector>

#include "signal/conversion.h"

namespace zarvi {
namespace {

TEST(BlockFrames, EachRateGetsABlockNear4096ThatConvertsToWholeSamples) {
  const struct {
    double rate;
    std::uint32_t frames;
    std::size_t samples;
  } cases[] = {
      {8000, 4096, 8192},  {16000, 4096, 4096}, {22050, 3969, 2880}, {24000, 4095, 2730},
      {32000, 4096, 2048}, {44100, 3969, 1440}, {48000, 4095, 1365}, {96000, 4098, 683},
  };
  for (const auto& c : cases) {
    const std::uint32_t frames = platform::chooseBlockFrames(c.rate, 4096);
    EXPECT_EQ(frames, c.frames) << c.rate;
    // The resampler itself agrees, and the block's length in the source's clock is that many samples.
    const auto produced = resampleToMono16k(std::vector<float>(frames), c.rate).size();
    EXPECT_EQ(produced, c.samples) << c.rate;
    EXPECT_EQ(static_cast<double>(produced) * c.rate, static_cast<double>(frames) * 16000.0) << c.rate;
  }
  EXPECT_EQ(platform::chooseBlockFrames(0.0, 4096), 4096U);
}

}  // namespace
}  // namespace zarvi
