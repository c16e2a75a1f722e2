#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "signal/audio_mixer.h"
#include "support/pcm.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

// Microphone block k carries one value all through, so the PCM tells which block each sample came from.
float micValue(std::size_t k) {
  return static_cast<float>(1 + k % 20000) / 32768.0F;
}
constexpr float kSystemValue = 1.0F / 1024.0F;

TEST(AudioMixerStress, ConcurrentPushesAndClearsKeepEveryBlockWholeAndInOrder) {
  testing::RecordedEvents events;
  testing::RecordedPcm out;
  AudioMixer mixer(out, events);
  std::vector<std::size_t> lengths;
  std::atomic<bool> micDone{false};
  std::atomic<std::size_t> overBound{0};

  std::thread system([&] {
    std::vector<float> block(160, kSystemValue);
    while (!micDone) {
      mixer.pushSystem(block);
      if (mixer.waitingSystemSamples() > 8000) ++overBound;
    }
  });
  std::thread clearer([&] {
    while (!micDone) {
      mixer.clearBuffers();
      if (mixer.waitingSystemSamples() > 8000) ++overBound;
      std::this_thread::yield();
    }
  });
  std::thread mic([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (std::size_t k = 0; std::chrono::steady_clock::now() < until; ++k) {
      const std::size_t length = k % 7 == 0 ? 0 : 1 + (k * 7919) % 2000;
      if (length > 0) lengths.push_back(length);
      mixer.pushMic(std::vector<float>(length, micValue(lengths.size() - 1)));
    }
    micDone = true;
  });
  mic.join();
  system.join();
  clearer.join();

  EXPECT_EQ(mixer.pushCount(), static_cast<std::int64_t>(lengths.size()));
  EXPECT_EQ(overBound, 0U);
  EXPECT_LE(mixer.waitingSystemSamples(), 8000U);
  const auto pcm = testing::pcmSamples(out.contents());
  std::size_t at = 0;
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    const std::int16_t alone = toPcmSample(micValue(k));
    const std::int16_t mixed = toPcmSample(micValue(k) + kSystemValue);
    for (std::size_t i = 0; i < lengths[k]; ++i, ++at) {
      ASSERT_LT(at, pcm.size()) << "the stream ends inside block " << k;
      ASSERT_TRUE(pcm[at] == alone || pcm[at] == mixed) << "sample " << i << " of block " << k;
    }
  }
  EXPECT_EQ(at, pcm.size());
  std::printf("%zu microphone blocks, %zu samples\n", lengths.size(), pcm.size());
}

}  // namespace
}  // namespace zarvi
