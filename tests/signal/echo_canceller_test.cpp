#include "signal/echo_canceller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

namespace zarvi {
namespace {

constexpr std::size_t kSecond = 16000;
constexpr std::size_t kReferenceBlock = 160;  // system audio: 10 ms buffers
constexpr std::size_t kMicBlock = 1440;       // a 44.1 kHz microphone's block

// A voice-like test signal: a few harmonics whose pitch wanders, in syllables of random length with
// pauses between (a steady rhythm would make every delay a multiple of its period look alike), over
// a little noise.
std::vector<float> voice(std::size_t samples, double pitch, std::uint32_t seed) {
  const auto random = [&seed](std::size_t below) {
    seed = seed * 1664525U + 1013904223U;
    return static_cast<std::size_t>(seed >> 8) % below;
  };
  std::vector<float> out(samples);
  double phase = 0.0;
  std::size_t syllableStart = 0;
  std::size_t syllableLength = 0;
  std::size_t nextSyllable = 0;
  for (std::size_t i = 0; i < samples; ++i) {
    if (i == nextSyllable) {
      syllableStart = i;
      syllableLength = kSecond / 12 + random(kSecond / 6);      // 80 to 250 ms
      nextSyllable = i + syllableLength + random(kSecond / 5);  // then up to 200 ms of pause
    }
    const double t = static_cast<double>(i) / kSecond;
    const double f0 = pitch * (1.0 + 0.1 * std::sin(2 * std::numbers::pi * 0.7 * t));
    phase += 2 * std::numbers::pi * f0 / kSecond;
    const std::size_t into = i - syllableStart;
    const double syllable =
        into < syllableLength ? std::sin(std::numbers::pi * static_cast<double>(into) / syllableLength) : 0.0;
    const double noise = (static_cast<double>(random(1U << 24)) / (1U << 24) - 0.5) * 0.05;
    double harmonics = 0.0;
    for (int h = 1; h <= 6; ++h) harmonics += std::sin(h * phase) / h;
    out[i] = static_cast<float>(0.3 * syllable * harmonics + noise);
  }
  return out;
}

// The room: the loudspeaker's sound reaches the microphone later, 3 dB down, with a reflection 30 ms
// after it.
std::vector<float> echoOf(const std::vector<float>& played, std::size_t delay) {
  std::vector<float> echo(played.size(), 0.0F);
  for (std::size_t i = 0; i < played.size(); ++i) {
    if (i >= delay) echo[i] += 0.7F * played[i - delay];
    if (i >= delay + 480) echo[i] += 0.2F * played[i - delay - 480];
  }
  return echo;
}

double energy(const std::vector<float>& x, std::size_t from, std::size_t to) {
  double sum = 1e-12;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
  return sum / static_cast<double>(to - from);
}

// Runs the canceller as the mixer does: reference buffers as they arrive, a microphone block every
// nine of them.
std::vector<float> run(EchoCanceller& canceller, const std::vector<float>& played,
                       std::vector<float> microphone) {
  for (std::size_t at = 0; at + kMicBlock <= microphone.size(); at += kMicBlock) {
    for (std::size_t r = at; r < at + kMicBlock; r += kReferenceBlock) {
      canceller.feedReference(std::span(played).subspan(r, kReferenceBlock));
    }
    canceller.cancel(std::span(microphone).subspan(at, kMicBlock));
  }
  return microphone;
}

class EchoCancellerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = makeEchoCanceller();
    if (!made) GTEST_SKIP() << made.error();
    canceller = std::move(made.value());
  }
  std::unique_ptr<EchoCanceller> canceller;
};

TEST_F(EchoCancellerTest, RemovesTheEchoOfTheFarEndAndKeepsTheNearEndAtItsLevel) {
  for (const std::size_t delayMs : {20U, 120U, 270U, 450U, 620U, 950U}) {
    SCOPED_TRACE(std::to_string(delayMs) + " ms");
    canceller->reset();
    const std::size_t length = 8 * kSecond;
    const auto farEnd = voice(length, 140.0, 1);
    // Far end alone for 6 s, then the near end alone for 2 s (the far end silent).
    std::vector<float> played(farEnd.begin(), farEnd.begin() + 6 * kSecond);
    played.resize(length, 0.0F);
    const auto echo = echoOf(played, delayMs * 16);
    const auto nearEnd = voice(length, 210.0, 2);
    std::vector<float> microphone(echo);
    for (std::size_t i = 7 * kSecond; i < length; ++i) microphone[i] += nearEnd[i];

    const auto out = run(*canceller, played, microphone);
    const double erleDb = 10 * std::log10(energy(microphone, 3 * kSecond, 6 * kSecond) /
                                          energy(out, 3 * kSecond + 160, 6 * kSecond + 160));
    // One frame late: output sample i + 160 is input sample i.
    const double nearDb = 10 * std::log10(energy(out, 7 * kSecond + 4000 + 160, length - 160 + 0) /
                                          energy(microphone, 7 * kSecond + 4000, length - 160));
    std::printf(
        "echo %zu ms late: %.1f dB of it removed after 3 s; near end after the far end: %+.2f dB; "
        "canceller says %.0f dB, %d ms\n",
        delayMs, erleDb, nearDb, canceller->measure().echoRemovedDb, canceller->measure().delayMs);
    EXPECT_GE(erleDb, 20.0);
    EXPECT_NEAR(nearDb, 0.0, 0.5);
    EXPECT_EQ(canceller->delayBeyondReachMs(), std::nullopt);
  }
}

TEST_F(EchoCancellerTest, AnEchoLaterThanItFollowsIsNamedWithItsDelay) {
  const std::size_t length = 6 * kSecond;
  const auto played = voice(length, 140.0, 4);
  const auto out = run(*canceller, played, echoOf(played, 1300 * 16));
  const auto late = canceller->delayBeyondReachMs();
  ASSERT_TRUE(late.has_value());
  EXPECT_NEAR(*late, 1300, 30);
}

// A second capture on the same devices starts from what the first learnt: its first second has the
// echo removed already, where a new canceller still learns.
TEST_F(EchoCancellerTest, ACaptureAfterAPauseStartsFromWhatWasLearnt) {
  const std::size_t delay = 350 * 16;
  const auto first = voice(6 * kSecond, 140.0, 5);
  run(*canceller, first, echoOf(first, delay));
  canceller->pause();
  const auto second = voice(2 * kSecond, 150.0, 6);
  const auto microphone = echoOf(second, delay);
  const auto resumed = run(*canceller, second, microphone);
  auto fresh = std::move(makeEchoCanceller().value());
  const auto learning = run(*fresh, second, microphone);
  const auto removedDb = [&](const std::vector<float>& out) {
    return 10 * std::log10(energy(microphone, 0, kSecond) / energy(out, 160, kSecond + 160));
  };
  std::printf("first second of a capture: %.1f dB removed after a pause, %.1f dB by a new canceller\n",
              removedDb(resumed), removedDb(learning));
  EXPECT_GE(removedDb(resumed), 15.0);
  EXPECT_GE(removedDb(resumed), removedDb(learning) + 6.0);
}

TEST_F(EchoCancellerTest, WhenNothingPlaysTheMicrophonePassesAtItsLevelOneFrameLate) {
  const auto nearEnd = voice(4 * kSecond, 210.0, 3);
  const std::vector<float> silence(nearEnd.size(), 0.0F);
  const auto out = run(*canceller, silence, nearEnd);
  for (std::size_t i = 0; i < 160; ++i) ASSERT_EQ(out[i], 0.0F) << i;
  const double levelDb =
      10 * std::log10(energy(out, kSecond + 160, 4 * kSecond) / energy(nearEnd, kSecond, 4 * kSecond - 160));
  EXPECT_NEAR(levelDb, 0.0, 0.5);
}

}  // namespace
}  // namespace zarvi
