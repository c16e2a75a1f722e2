#include "signal/conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace zarvi {
namespace {

using Samples = std::vector<float>;

TEST(RmsFloatPtr, SumsSquaresInDoublePrecision) {
  const float threeFour[] = {3.0F, 4.0F};
  EXPECT_EQ(rmsFloatPtr(threeFour, 2), static_cast<float>(std::sqrt(12.5)));
  const Samples halves(160, 0.5F);
  EXPECT_EQ(rmsFloatPtr(halves.data(), 160), 0.5F);
  EXPECT_EQ(rmsFloatPtr(nullptr, 0), 0.0F);
  EXPECT_EQ(rmsFloatPtr(nullptr, -3), 0.0F);
  // 1e20 squared overflows a float but not the double sum.
  const float large[] = {1e20F, 1e20F};
  EXPECT_EQ(rmsFloatPtr(large, 2), 1e20F);
}

TEST(DescribeFormatFlags, NamesTheSevenLowBitsInOrder) {
  const struct {
    std::uint32_t flags;
    const char* names;
  } cases[] = {
      {1, "Float"},
      {4, "SignedInt"},
      {9, "Float|Packed"},
      {41, "Float|Packed|NonInterleaved"},
      {127, "Float|BigEndian|SignedInt|Packed|AlignedHigh|NonInterleaved|NonMixable"},
      {0, "(none)"},
      {128, "(none)"},
      {0xFFFFFF80U | 2U, "BigEndian"},
  };
  for (const auto& c : cases) EXPECT_EQ(describeFormatFlags(c.flags), c.names) << c.flags;
}

TEST(ResampleToMono16k, InterpolatesLinearlyAndHoldsTheLastSample) {
  const struct {
    Samples input;
    double rate;
    Samples output;
  } cases[] = {
      {{0, 1}, 8000, {0, 0.5F, 1, 1}},
      {{0, 1, 2, 3}, 32000, {0, 2}},
      {{0, 1, 0}, 12000, {0, 0.75F, 0.5F, 0}},
      {{0, 0.25F, 0.5F, 0.75F}, 16000, {0, 0.25F, 0.5F, 0.75F}},
      {{0.7F}, 48000, {}},
      {{0.3F, 0.2F, 0.1F}, 44100, {0.3F}},
      {{}, 16000, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(resampleToMono16k(c.input, c.rate), c.output) << c.rate;
}

TEST(ResampleToMono16k, BlockLengthsFollowTheTruncatedRatio) {
  EXPECT_EQ(resampleToMono16k(Samples(480), 48000).size(), 160U);
  EXPECT_EQ(resampleToMono16k(Samples(1024), 48000).size(), 341U);
  EXPECT_EQ(resampleToMono16k(Samples(512), 44100).size(), 185U);
  EXPECT_EQ(resampleToMono16k(Samples(4095), 48000).size(), 1365U);
}

TEST(ResampleToMono16k, RatesThatAreNoRatesGiveAnEmptyBlock) {
  const Samples input(100, 0.5F);
  for (double rate : {0.0, -0.0, -48000.0, std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::denorm_min(), 1e-300, 0.5, 999.99}) {
    EXPECT_TRUE(resampleToMono16k(input, rate).empty()) << rate;
  }
  // The lowest rate still converted: sixteen outputs per input sample.
  EXPECT_EQ(resampleToMono16k(input, 1000.0).size(), 1600U);
}

TEST(ResampleToMono16k, InterpolationIsAMultiplyThenAnAdd) {
  // (s1 - s0) * frac + s0 rounds differently here when fused into one multiply-add:
  // the fused result would be -0x1.b51eb8p-4.
  const Samples out = resampleToMono16k(Samples{0.1F, -0.2F}, 11025);
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0], 0.1F);
  EXPECT_EQ(out[1], -0x1.b51ebap-4F);
}

TEST(ResampleToMono16k, EachBlockStartsAtItsOwnFirstSample) {
  const Samples first = {0.1F, 0.9F, 0.3F, -0.4F, 0.2F, 0.6F};
  const Samples second = {-0.7F, 0.1F, 0.5F, 0.25F, 0.8F, -0.3F};
  EXPECT_EQ(resampleToMono16k(first, 44100).front(), 0.1F);
  EXPECT_EQ(resampleToMono16k(second, 44100).front(), -0.7F);
}

TEST(ToMono16k, DownmixesInterleavedAndPlanarFramesAlike) {
  const float interleaved[] = {0.5F, -0.5F, 1.0F, 0.0F};
  const float planar[] = {0.5F, 1.0F, -0.5F, 0.0F};
  EXPECT_EQ(toMono16k(interleaved, 2, 2, 16000), (Samples{0, 0.5F}));
  EXPECT_EQ(toMono16kPlanar(planar, 2, 2, 16000), (Samples{0, 0.5F}));
}

TEST(ToMono16k, DividesTheSingleSumByTheChannelCount) {
  // Three channels: (0.1 + 0.2 + 0.4) / 3 in float differs from multiplying by a third.
  const float frame[] = {0.1F, 0.2F, 0.4F};
  const float sum = (0.1F + 0.2F) + 0.4F;
  EXPECT_EQ(toMono16k(frame, 1, 3, 16000), (Samples{sum / 3.0F}));
}

TEST(ToMono16k, NoFramesOrNoChannelsGiveAnEmptyBlock) {
  const float samples[] = {1, 2, 3, 4};
  EXPECT_TRUE(toMono16k(samples, 0, 2, 48000).empty());
  EXPECT_TRUE(toMono16k(samples, 2, 0, 48000).empty());
  EXPECT_TRUE(toMono16kPlanar(samples, -1, 2, 48000).empty());
  EXPECT_TRUE(toMono16kPlanar(samples, 2, -2, 48000).empty());
  EXPECT_TRUE(toMono16k(samples, 2, 2, 0).empty());
}

}  // namespace
}  // namespace zarvi
