#include "signal/audio_mixer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_echo_canceller.h"
#include "os/standard_streams.h"
#include "protocol/process_values.h"
#include "support/event_lines.h"
#include "support/os.h"
#include "support/pcm.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

using Samples = std::vector<float>;
using testing::OutputSince;

class AudioMixerTest : public ::testing::Test {
 protected:
  void SetUp() override { VERBOSE_AUDIO = false; }
  void TearDown() override { VERBOSE_AUDIO = false; }
  testing::RecordedEvents events;
  testing::RecordedPcm pcmOut;
  AudioMixer mixer{pcmOut, events};
};

TEST_F(AudioMixerTest, WritesOneLittleEndianBlockPerMicrophonePush) {
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  VERBOSE_AUDIO = true;
  mixer.pushMic(Samples(160, 0.5F));
  std::string expected;
  for (int i = 0; i < 160; ++i) expected += "\xFF\x3F";
  EXPECT_EQ(out.contents(), expected);
  EXPECT_EQ(err.contents(),
            "{\"type\":\"debug\",\"msg\":\"mix#1 micN=160 sysAvail=0 micRms=0.5000 sysRms=0.0000 clipped=0 "
            "maxAbsMixed=0.5000\"}\n");
  EXPECT_EQ(mixer.pushCount(), 1);
}

TEST_F(AudioMixerTest, AnEmptyMicrophoneBlockDoesNothing) {
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  VERBOSE_AUDIO = true;
  mixer.pushMic({});
  EXPECT_EQ(out.contents(), "");
  EXPECT_EQ(err.contents(), "");
  EXPECT_EQ(mixer.pushCount(), 0);
}

TEST_F(AudioMixerTest, MixesTheOldestWaitingSystemSamplesIntoTheMicrophoneBlock) {
  const OutputSince out(pcmOut);
  mixer.pushSystem(Samples(100, 0.25F));
  mixer.pushMic(Samples(160, 0.25F));
  const auto pcm = testing::pcmSamples(out.contents());
  ASSERT_EQ(pcm.size(), 160U);
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(pcm[i], 16383) << i;   // 0.5
  for (std::size_t i = 100; i < 160; ++i) EXPECT_EQ(pcm[i], 8191) << i;  // 0.25
  EXPECT_EQ(mixer.waitingSystemSamples(), 0U);
}

TEST_F(AudioMixerTest, SurplusSystemAudioWaitsInOrderForTheNextBlock) {
  const OutputSince out(pcmOut);
  Samples system(300);
  for (std::size_t i = 0; i < system.size(); ++i) system[i] = static_cast<float>(i) / 1000.0F;
  mixer.pushSystem(system);
  mixer.pushMic(Samples(160, 0.0F));
  EXPECT_EQ(mixer.waitingSystemSamples(), 140U);
  mixer.pushMic(Samples(200, 0.0F));
  const auto pcm = testing::pcmSamples(out.contents());
  ASSERT_EQ(pcm.size(), 360U);
  for (std::size_t i = 0; i < 300; ++i) {
    EXPECT_EQ(pcm[i], static_cast<std::int16_t>(system[i] * 32767.0F)) << i;
  }
  for (std::size_t i = 300; i < 360; ++i) EXPECT_EQ(pcm[i], 0) << i;
}

TEST_F(AudioMixerTest, KeepsOnlyTheNewestEightThousandSystemSamplesInOrder) {
  // Sample k of all pushes together carries the value k / 16384, so the PCM tells which samples remained.
  const std::vector<std::size_t> cases[] = {{9000}, {5000, 5000}, {8000, 1}, {3, 7999}, {7999}};
  for (const auto& pushes : cases) {
    const OutputSince out(pcmOut);
    AudioMixer fresh{pcmOut, events};
    std::size_t total = 0;
    for (std::size_t length : pushes) {
      Samples block(length);
      for (float& sample : block) sample = static_cast<float>(total++) / 16384.0F;
      fresh.pushSystem(block);
    }
    const std::size_t kept = std::min<std::size_t>(total, 8000);
    EXPECT_EQ(fresh.waitingSystemSamples(), kept);
    fresh.pushMic(Samples(8000, 0.0F));
    const auto pcm = testing::pcmSamples(out.contents());
    ASSERT_EQ(pcm.size(), 8000U);
    for (std::size_t k = 0; k < kept; ++k) {
      const float value = static_cast<float>(total - kept + k) / 16384.0F;
      ASSERT_EQ(pcm[k], toPcmSample(value)) << "sample " << k << " of pushes " << pushes.size();
    }
  }
}

TEST_F(AudioMixerTest, ClampsAndCountsLikeTheStreamPromises) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    float mixed;
    std::int16_t pcm;
    const char* stats;
  } cases[] = {
      {1.0F, 32767, "clipped=0 maxAbsMixed=1.0000"},   {1.5F, 32767, "clipped=1 maxAbsMixed=1.5000"},
      {-1.0F, -32767, "clipped=0 maxAbsMixed=1.0000"}, {-1.5F, -32767, "clipped=1 maxAbsMixed=1.5000"},
      {0.25F, 8191, "clipped=0 maxAbsMixed=0.2500"},   {0.75F, 24575, "clipped=0 maxAbsMixed=0.7500"},
      {0.1F, 3276, "clipped=0 maxAbsMixed=0.1000"},    {-0.5F, -16383, "clipped=0 maxAbsMixed=0.5000"},
      {nan, 32767, "clipped=0 maxAbsMixed=0.0000"},    {inf, 32767, "clipped=1 maxAbsMixed=inf"},
      {-inf, -32767, "clipped=1 maxAbsMixed=inf"},
  };
  VERBOSE_AUDIO = true;
  for (const auto& c : cases) {
    const OutputSince out(pcmOut);
    const OutputSince err(events);
    AudioMixer fresh{pcmOut, events};
    fresh.pushMic(Samples{c.mixed});
    EXPECT_EQ(testing::pcmSamples(out.contents()), std::vector<std::int16_t>{c.pcm}) << c.mixed;
    EXPECT_NE(err.contents().find(std::string(c.stats) + "\"}"), std::string::npos) << err.contents();
  }
}

TEST_F(AudioMixerTest, DebugLinesForTheFirstFiveAndEveryFiftiethPushAcrossRestarts) {
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  VERBOSE_AUDIO = true;
  for (int i = 1; i <= 100; ++i) {
    if (i == 30) mixer.clearBuffers();  // a new capture run keeps the numbering
    mixer.pushMic(Samples(2, 0.0F));
  }
  std::vector<std::string> numbers;
  const std::string text = err.contents();
  for (std::size_t at = text.find("mix#"); at != std::string::npos; at = text.find("mix#", at + 1)) {
    numbers.push_back(text.substr(at + 4, text.find(' ', at) - at - 4));
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "3", "4", "5", "50", "100"}));
  EXPECT_EQ(mixer.pushCount(), 100);
}

TEST_F(AudioMixerTest, QuietWhenNotVerboseButStillCounting) {
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  for (int i = 0; i < 50; ++i) mixer.pushMic(Samples(1, 0.0F));
  EXPECT_EQ(err.contents(), "");
  EXPECT_EQ(mixer.pushCount(), 50);
}

TEST_F(AudioMixerTest, ClearBuffersDropsWaitingSystemAudio) {
  const OutputSince out(pcmOut);
  mixer.pushSystem(Samples(500, 0.5F));
  mixer.clearBuffers();
  mixer.pushMic(Samples(4, 0.0F));
  EXPECT_EQ(testing::pcmSamples(out.contents()), (std::vector<std::int16_t>{0, 0, 0, 0}));
}

TEST_F(AudioMixerTest, SystemAudioAloneWritesNothing) {
  const OutputSince out(pcmOut);
  for (int i = 0; i < 100; ++i) mixer.pushSystem(Samples(160, 0.5F));
  EXPECT_EQ(out.contents(), "");
  EXPECT_EQ(mixer.waitingSystemSamples(), 8000U);
}

TEST_F(AudioMixerTest, AClosedStandardOutputNeverStopsThePushes) {
  int fds[2];
  ASSERT_EQ(testing::makePipe(fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  ::close(fds[0]);  // the reader is gone: every write fails with EPIPE, never with a signal
  os::prepareStandardStreams();
  StandardOutputPcm standardOutput;
  AudioMixer toStandardOutput(standardOutput, events);
  for (int i = 0; i < 10; ++i) toStandardOutput.pushMic(Samples(1000, 0.1F));
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  EXPECT_EQ(toStandardOutput.pushCount(), 10);
}

TEST_F(AudioMixerTest, WithoutAMicrophoneSystemAudioDrivesAndTheHandoversLoseAndRepeatNothing) {
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  VERBOSE_AUDIO = true;
  Samples ramp(9000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) / 32767.0F;
  mixer.pushSystem(ramp);  // waits for a microphone: the newest 8000 are kept
  mixer.setMicrophoneDriving(false);
  EXPECT_EQ(testing::pcmSamples(out.contents()).size(), 0U) << "nothing is written until system audio comes";
  mixer.pushSystem(Samples{2.0F, -1.5F, std::numeric_limits<float>::quiet_NaN()});  // clamped as a mix
  EXPECT_EQ(mixer.waitingSystemSamples(), 0U);
  mixer.setMicrophoneDriving(true);
  mixer.pushSystem(Samples(5, 0.25F));
  EXPECT_EQ(testing::pcmSamples(out.contents()).size(), 8003U)
      << "a microphone drives again: system audio waits";
  mixer.pushMic(Samples(8, 0.25F));

  std::vector<std::int16_t> expected;
  for (int i = 1000; i < 9000; ++i) expected.push_back(static_cast<std::int16_t>(i));
  expected.insert(expected.end(), {32767, -32767, 32767});
  expected.insert(expected.end(), 5, 16383);
  expected.insert(expected.end(), 3, 8191);
  EXPECT_EQ(testing::pcmSamples(out.contents()), expected);
  EXPECT_EQ(mixer.pushCount(), 1);
  EXPECT_EQ(testing::events(err.contents(), true).size(), 1U) << "only the microphone's push is described";
}

// Two-channel frames as (microphone, system audio) pairs.
std::vector<std::pair<std::int16_t, std::int16_t>> frames(const std::string& bytes) {
  const auto samples = testing::pcmSamples(bytes);
  std::vector<std::pair<std::int16_t, std::int16_t>> pairs;
  for (std::size_t i = 0; i + 1 < samples.size(); i += 2) pairs.emplace_back(samples[i], samples[i + 1]);
  return pairs;
}

TEST_F(AudioMixerTest, SeparateTracksKeepTheMixersScheduleWithEachSourceOnItsOwnChannel) {
  using Frames = std::vector<std::pair<std::int16_t, std::int16_t>>;
  mixer.setLayout(AudioMixer::Layout::separateTracks);
  const OutputSince out(pcmOut);
  // The microphone drives, paired with the oldest waiting system samples; none waiting is silence.
  mixer.pushSystem(Samples{0.25F, -0.25F});
  mixer.pushMic(Samples{0.5F, 2.0F, -2.0F});
  EXPECT_EQ(frames(out.contents()), (Frames{{16383, 8191}, {32767, -8191}, {-32767, 0}}));
  EXPECT_EQ(out.contents().size(), 12U);
  // No microphone: the waiting system samples first, then the block, beside a silent channel 0.
  mixer.pushSystem(Samples{0.5F});
  mixer.setMicrophoneDriving(false);
  mixer.pushSystem(Samples{-0.5F, std::numeric_limits<float>::quiet_NaN()});
  // The microphone back: it drives again, and nothing of the system audio is written twice.
  mixer.setMicrophoneDriving(true);
  mixer.pushSystem(Samples{0.125F});
  mixer.pushMic(Samples{0.0F, 0.0F});
  EXPECT_EQ(frames(out.contents()), (Frames{{16383, 8191},
                                            {32767, -8191},
                                            {-32767, 0},
                                            {0, 16383},
                                            {0, -16383},
                                            {0, 32767},
                                            {0, 4095},
                                            {0, 0}}));
  // Back to the mix: one sample per push sample again.
  mixer.setLayout(AudioMixer::Layout::mix);
  const OutputSince mixed(pcmOut);
  mixer.pushMic(Samples{0.5F});
  EXPECT_EQ(testing::pcmSamples(mixed.contents()), (std::vector<std::int16_t>{16383}));
}

TEST_F(AudioMixerTest, WithACancellerEverySystemSampleIsItsReferenceAndTheMicrophoneIsCancelledFirst) {
  const auto record = std::make_shared<fakes::CancellerRecord>();
  mixer.setEchoCanceller(std::make_unique<fakes::FakeEchoCanceller>(record));
  VERBOSE_AUDIO = true;
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  // More than the waiting bound: the reference still gets all of it, in order.
  Samples system(9000);
  for (std::size_t i = 0; i < system.size(); ++i) system[i] = static_cast<float>(i % 7) / 100.0F;
  mixer.pushSystem(system);
  mixer.pushMic(Samples(2, 0.5F));
  EXPECT_EQ(record->reference, system);
  // 0.5 halved, plus the oldest system sample that survived the bound (index 1000: 1000 % 7 = 6).
  EXPECT_EQ(testing::pcmSamples(out.contents()),
            (std::vector<std::int16_t>{toPcmSample(0.25F + 0.06F), toPcmSample(0.25F + 0.0F)}));
  const auto lines = testing::events(err.contents(), true);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], "debug aec#1 echoRemovedDb=12.5000 delayMs=40 micRms=0.5000 outRms=0.2500");
  EXPECT_TRUE(lines[1].starts_with("debug mix#1 ")) << lines[1];
  mixer.echoPathChanged();
  EXPECT_EQ(record->resets, 1);
  // Without it, the microphone as it comes.
  mixer.setEchoCanceller(nullptr);
  const OutputSince plain(pcmOut);
  mixer.clearBuffers();
  mixer.pushMic(Samples(1, 0.5F));
  EXPECT_EQ(testing::pcmSamples(plain.contents()), (std::vector<std::int16_t>{16383}));
}

TEST_F(AudioMixerTest, AnEchoBeyondReachIsSaidOnceAndACancellerIsKeptOnlyWhenItsPathHeld) {
  const auto record = std::make_shared<fakes::CancellerRecord>();
  auto owned = std::make_unique<fakes::FakeEchoCanceller>(record);
  const EchoCanceller* canceller = owned.get();
  mixer.setEchoCanceller(std::move(owned));
  const OutputSince err(events);
  mixer.pushMic(Samples(4, 0.1F));
  record->beyondReachMs = 1230;
  mixer.pushMic(Samples(4, 0.1F));
  mixer.pushMic(Samples(4, 0.1F));
  EXPECT_EQ(testing::events(err.contents()),
            (std::vector<std::string>{"warn echo_cancel_out_of_reach: the echo comes 1230 ms late; echo "
                                      "cancelling follows echoes up to 1000 ms late"}));

  // Learnt one path from start to end: handed back paused, and the mixer has none from then on.
  mixer.startEchoPathOver();
  EXPECT_EQ(record->resets, 1);
  auto kept = mixer.takeEchoCanceller();
  ASSERT_EQ(kept.get(), canceller);
  EXPECT_EQ(record->pauses, 1);
  EXPECT_EQ(mixer.takeEchoCanceller(), nullptr);

  // Set on again, the warning may come once more; a path that changed is not kept.
  mixer.setEchoCanceller(std::move(kept));
  const OutputSince again(events);
  mixer.pushMic(Samples(4, 0.1F));
  EXPECT_EQ(testing::events(again.contents()).size(), 1U);
  mixer.echoPathChanged();
  EXPECT_EQ(mixer.takeEchoCanceller(), nullptr);
}

}  // namespace
}  // namespace zarvi
