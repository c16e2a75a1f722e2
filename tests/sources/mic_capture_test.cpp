#include "sources/mic_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "protocol/process_values.h"
#include "support/event_lines.h"
#include "support/pcm.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

using Events = std::vector<std::string>;
using testing::OutputSince;

class MicCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { VERBOSE_AUDIO = false; }
  void TearDown() override { VERBOSE_AUDIO = false; }

  void useFormat(double rate, std::uint32_t channels, bool interleaved = false) {
    script->format = {rate, channels, platform::kCommonFormatFloat32, interleaved, "mic"};
  }
  // Delivers planar channel runs through the tap.
  void deliverPlanar(const std::vector<std::vector<float>>& channels) {
    std::vector<const float*> runs;
    for (const auto& channel : channels) runs.push_back(channel.data());
    const auto frames = static_cast<std::uint32_t>(channels.empty() ? 0 : channels[0].size());
    script->deliver({runs.data(), frames});
  }

  std::shared_ptr<fakes::EngineScript> script = std::make_shared<fakes::EngineScript>();
  testing::RecordedEvents events;
  testing::RecordedPcm pcmOut;
  std::shared_ptr<AudioMixer> mixer = std::make_shared<AudioMixer>(pcmOut, events);
  std::shared_ptr<MicCapture> mic =
      std::make_shared<MicCapture>(std::make_unique<fakes::FakeAudioEngine>(script), mixer, events);
};

TEST_F(MicCaptureTest, StartAndStopSayWhatHappenedOnlyWhenTheStateChanges) {
  useFormat(44100.5, 1);
  const OutputSince err(events);
  mic->start();
  mic->start();
  mic->stop();
  mic->stop();
  EXPECT_EQ(testing::events(err.contents(), true),
            (Events{"status mic_format: 44100.5Hz, 1ch",
                    "debug mic_format_full sampleRate=44100.5 channels=1 commonFormat=1 interleaved=false",
                    "status mic_started", "status mic_stopped"}));
  EXPECT_EQ(script->installs, 1);
  EXPECT_EQ(script->tapsInstalled(), 0);
  EXPECT_EQ(script->starts, 1);
  EXPECT_EQ(script->stops, 1);
}

TEST_F(MicCaptureTest, AFailedStartWatchesForAMicrophoneAndItsStopRemovesTheTapSilently) {
  script->startError = "No such entity";
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  mic->start();
  mixer->pushSystem(std::vector<float>(16, 0.25F));  // no microphone: system audio drives
  script->changeDevice(
      {platform::DeviceChange::resumed, "USB Microphone", {48000.0, 1, platform::kCommonFormatFloat32, false, "usb-mic"}});
  mixer->pushSystem(std::vector<float>(16, 0.5F));  // a microphone now: system audio waits for it
  deliverPlanar({std::vector<float>(48, 0.25F)});
  mic->stop();
  mic->stop();
  EXPECT_EQ(testing::events(err.contents(), true),
            (Events{"status mic_format: 48000.0Hz, 2ch",
                    "debug mic_format_full sampleRate=48000.0 channels=2 commonFormat=1 interleaved=false",
                    "error Mic start failed: No such entity", "status mic_resumed: USB Microphone",
                    "debug mic_format_full sampleRate=48000.0 channels=1 commonFormat=1 interleaved=false"}));
  std::vector<std::int16_t> expected(16, 8191);
  expected.insert(expected.end(), 16, 24575);
  EXPECT_EQ(testing::pcmSamples(out.contents()), expected);
  EXPECT_EQ(script->tapsInstalled(), 0);
  EXPECT_EQ(script->stops, 1);

  script->startError.reset();
  mic->start();
  EXPECT_EQ(script->tapsInstalled(), 1);
}

TEST_F(MicCaptureTest, ConvertsEachLayoutToTheSameMonoBlock) {
  const OutputSince out(pcmOut);
  useFormat(16000, 1);
  mic->start();
  deliverPlanar({{0.5F, 0.25F, -0.5F}});  // one channel: a copy, no averaging
  EXPECT_EQ(testing::pcmSamples(out.contents()), (std::vector<std::int16_t>{16383, 8191, -16383}));
  mic->stop();

  // Two channels, left 1.0 and right 0.0: planar runs, runs that do not lie together, and interleaved.
  std::vector<float> together = {1, 1, 1, 0, 0, 0};
  useFormat(16000, 2);
  mic->start();
  deliverPlanar({{1, 1, 1}, {0, 0, 0}});
  const float* contiguous[] = {together.data(), together.data() + 3};
  script->deliver({contiguous, 3});
  mic->stop();
  useFormat(16000, 2, true);
  mic->start();
  const std::vector<float> interleaved = {1, 0, 1, 0, 1, 0};
  const float* run[] = {interleaved.data()};
  script->deliver({run, 3});
  const auto pcm = testing::pcmSamples(out.contents());
  ASSERT_EQ(pcm.size(), 12U);
  for (std::size_t i = 3; i < 12; ++i) EXPECT_EQ(pcm[i], 16383) << i;
}

TEST_F(MicCaptureTest, ResamplesAtTheFormatsRate) {
  const OutputSince out(pcmOut);
  useFormat(48000, 1);
  mic->start();
  deliverPlanar({std::vector<float>(4095, 0.25F)});
  EXPECT_EQ(out.contents().size(), 1365U * 2);
}

TEST_F(MicCaptureTest, BuffersWithoutFloatDataAreDroppedUncounted) {
  VERBOSE_AUDIO = true;
  useFormat(16000, 1);
  mic->start();
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  script->deliver({nullptr, 100});
  deliverPlanar({{0.5F}});
  EXPECT_EQ(out.contents().size(), 2U);
  EXPECT_NE(err.contents().find("mic_buf#1 frames=1"), std::string::npos) << err.contents();
}

TEST_F(MicCaptureTest, DescribesTheFirstFiveBuffersOfItsLifeWhenVerbose) {
  VERBOSE_AUDIO = true;
  useFormat(16000, 2);
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  mic->start();
  deliverPlanar({{3, 4, -0.5F}, {0, 0, 0}});
  deliverPlanar({{}, {}});
  mic->stop();
  mic->start();
  for (int i = 0; i < 5; ++i) deliverPlanar({{0.1F}, {0.1F}});
  Events lines;
  for (const auto& e : testing::events(err.contents(), true)) {
    if (e.starts_with("debug mic_buf#")) lines.push_back(e);
  }
  EXPECT_EQ(lines,
            (Events{
                R"(debug mic_buf#1 frames=3 ch=2 ch0Rms=2.9011 first8=["3.0000", "4.0000", "-0.5000"])",
                "debug mic_buf#2 frames=0 ch=2 ch0Rms=0.0000 first8=[]",
                R"(debug mic_buf#3 frames=1 ch=2 ch0Rms=0.1000 first8=["0.1000"])",
                R"(debug mic_buf#4 frames=1 ch=2 ch0Rms=0.1000 first8=["0.1000"])",
                R"(debug mic_buf#5 frames=1 ch=2 ch0Rms=0.1000 first8=["0.1000"])",
            }));
  // The first line's quotes reach stderr escaped.
  EXPECT_NE(err.contents().find(R"(first8=[\"3.0000\", \"4.0000\", \"-0.5000\"])"), std::string::npos);
}

TEST_F(MicCaptureTest, DescribesChannelZeroOfInterleavedInput) {
  VERBOSE_AUDIO = true;
  useFormat(16000, 2, true);
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  mic->start();
  const std::vector<float> interleaved = {0.5F, 9, 0.5F, 9};
  const float* run[] = {interleaved.data()};
  script->deliver({run, 2});
  EXPECT_NE(err.contents().find(R"(mic_buf#1 frames=2 ch=2 ch0Rms=0.5000 first8=[\"0.5000\", \"0.5000\"])"),
            std::string::npos)
      << err.contents();
}

TEST_F(MicCaptureTest, ATapThatOutlivesItsSourceDoesNothing) {
  useFormat(16000, 1);
  mic->start();
  auto tap = script->tap;
  mic.reset();
  const OutputSince out(pcmOut);
  const std::vector<float> samples = {0.5F};
  const float* runs[] = {samples.data()};
  tap({runs, 1});
  EXPECT_EQ(out.contents(), "");
}

TEST_F(MicCaptureTest, AFollowedDeviceBringsItsFormatAndDecidesWhoDrivesTheMixer) {
  using platform::DeviceChange;
  useFormat(44100.0, 2);
  mic->start();
  const OutputSince out(pcmOut);
  const OutputSince err(events);

  script->changeDevice({DeviceChange::lost, "Entity killed", {}});
  mixer->pushSystem(std::vector<float>(160, 0.25F));  // no microphone: system audio is written at once
  script->changeDevice(
      {DeviceChange::switched, "USB Microphone", {48000.0, 1, platform::kCommonFormatFloat32, false, "usb-mic"}});
  mixer->pushSystem(std::vector<float>(10, 0.5F));  // a microphone again: system audio waits for it
  deliverPlanar({std::vector<float>(48, 0.25F)});   // read as one channel at 48 kHz: 16 samples
  script->changeDevice(
      {DeviceChange::resumed, "Microphone", {44100.0, 2, platform::kCommonFormatFloat32, false, "mic"}});

  EXPECT_EQ(testing::events(err.contents(), true),
            (Events{"error Mic stream failed: Entity killed", "status mic_switched: USB Microphone",
                    "debug mic_format_full sampleRate=48000.0 channels=1 commonFormat=1 interleaved=false",
                    "status mic_resumed: Microphone",
                    "debug mic_format_full sampleRate=44100.0 channels=2 commonFormat=1 interleaved=false"}));
  std::vector<std::int16_t> expected(160, 8191);
  expected.insert(expected.end(), 10, 24575);  // 0.5 + 0.25
  expected.insert(expected.end(), 6, 8191);
  EXPECT_EQ(testing::pcmSamples(out.contents()), expected);
}

}  // namespace
}  // namespace zarvi
