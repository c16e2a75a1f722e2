#include "sources/system_audio_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/process_values.h"
#include "support/event_lines.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

using Events = std::vector<std::string>;
using platform::ByteRun;
using platform::OutputType;
using platform::SampleBuffer;
using platform::StreamBasicDescription;
using testing::OutputSince;

constexpr StreamBasicDescription kInterleavedStereo{48000, 0x9, 8, 1, 8, 2, 32};
constexpr StreamBasicDescription kPlanarStereo{48000, 0x29, 4, 1, 4, 2, 32};

class SystemAudioHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { VERBOSE_AUDIO = false; }
  void TearDown() override { VERBOSE_AUDIO = false; }

  SampleBuffer bufferOf(const StreamBasicDescription& description, const std::vector<float>& samples) {
    return {true, description, ByteRun{samples.data(), static_cast<std::int64_t>(samples.size() * 4)}};
  }

  testing::RecordedEvents events;
  testing::RecordedPcm pcmOut;
  std::shared_ptr<AudioMixer> mixer = std::make_shared<AudioMixer>(pcmOut, events);
  SystemAudioHandler handler{mixer, events};
};

TEST_F(SystemAudioHandlerTest, DropsEveryUnusableBufferSilentlyAndUncounted) {
  const std::vector<float> samples(960, 0.5F);
  const ByteRun data{samples.data(), 3840};
  StreamBasicDescription int16 = kInterleavedStereo;
  int16.formatFlags = 0xC;
  int16.bitsPerChannel = 16;
  StreamBasicDescription noFloatFlag = kInterleavedStereo;
  noFloatFlag.formatFlags = 0x8;
  StreamBasicDescription bits64 = kInterleavedStereo;
  bits64.bitsPerChannel = 64;
  StreamBasicDescription zeroBytesPerFrame = kInterleavedStereo;
  zeroBytesPerFrame.bytesPerFrame = 0;
  const struct {
    const char* why;
    SampleBuffer buffer;
    OutputType type;
  } cases[] = {
      {"screen output", {true, kInterleavedStereo, data}, OutputType::screen},
      {"invalid", {false, kInterleavedStereo, data}, OutputType::audio},
      {"no description", {true, std::nullopt, data}, OutputType::audio},
      {"no data block", {true, kInterleavedStereo, std::nullopt}, OutputType::audio},
      {"no data pointer", {true, kInterleavedStereo, ByteRun{nullptr, 3840}}, OutputType::audio},
      {"16-bit integers", {true, int16, data}, OutputType::audio},
      {"float flag clear", {true, noFloatFlag, data}, OutputType::audio},
      {"64 bits", {true, bits64, data}, OutputType::audio},
      {"0 bytes per frame", {true, zeroBytesPerFrame, data}, OutputType::audio},
  };
  const OutputSince err(events);
  for (const auto& c : cases) handler.didOutput(c.buffer, c.type);
  VideoNoopHandler video;
  video.didOutput({true, kInterleavedStereo, data}, OutputType::audio);
  EXPECT_EQ(err.contents(), "");
  EXPECT_EQ(mixer->waitingSystemSamples(), 0U);
  // None of them counted: the next good buffer is the first.
  handler.didOutput({true, kInterleavedStereo, data}, OutputType::audio);
  EXPECT_NE(err.contents().find("sys_format"), std::string::npos);
}

TEST_F(SystemAudioHandlerTest, ConvertsInterleavedAndPlanarStereoAlike) {
  std::vector<float> interleaved(960);
  std::vector<float> planar(960);
  for (std::size_t f = 0; f < 480; ++f) {
    interleaved[2 * f] = planar[f] = 0.5F;
    interleaved[2 * f + 1] = planar[480 + f] = -0.25F;
  }
  const OutputSince err(events);
  handler.didOutput(bufferOf(kInterleavedStereo, interleaved), OutputType::audio);
  EXPECT_EQ(mixer->waitingSystemSamples(), 160U);
  SystemAudioHandler planarHandler(mixer, events);
  planarHandler.didOutput(bufferOf(kPlanarStereo, planar), OutputType::audio);
  EXPECT_EQ(mixer->waitingSystemSamples(), 320U);
  EXPECT_EQ(
      testing::events(err.contents(), true),
      (Events{
          "debug sys_format rate=48000.0 channels=2 bitsPerChannel=32 bytesPerFrame=8 bytesPerPacket=8 "
          "framesPerPacket=1 flags=0x9(Float|Packed) totalLength=3840 frameCount=480 isNonInterleaved=false",
          "debug sys_format rate=48000.0 channels=2 bitsPerChannel=32 bytesPerFrame=4 bytesPerPacket=4 "
          "framesPerPacket=1 flags=0x29(Float|Packed|NonInterleaved) totalLength=3840 frameCount=480 "
          "isNonInterleaved=true"}));
  const OutputSince out(pcmOut);
  mixer->pushMic(std::vector<float>(320, 0.0F));
  const std::string pcm = out.contents();
  ASSERT_EQ(pcm.size(), 640U);
  for (std::size_t i = 0; i < pcm.size(); i += 2)
    ASSERT_EQ(pcm.substr(i, 2), "\xFF\x0F") << i;  // 0.125 -> 4095
}

TEST_F(SystemAudioHandlerTest, WritesTheFormatLineOnlyForTheFirstAcceptedBufferOfItsLife) {
  const std::vector<float> samples(960, 0.0F);
  const OutputSince err(events);
  for (int i = 0; i < 3; ++i) handler.didOutput(bufferOf(kInterleavedStereo, samples), OutputType::audio);
  EXPECT_EQ(testing::events(err.contents(), true).size(), 1U);
}

TEST_F(SystemAudioHandlerTest, DescribesTheFirstFiveBuffersWhenVerbose) {
  VERBOSE_AUDIO = true;
  std::vector<float> samples(960, 0.0F);
  samples[0] = 0.5F;
  samples[1] = -0.5F;
  const OutputSince err(events);
  for (int i = 0; i < 7; ++i) handler.didOutput(bufferOf(kInterleavedStereo, samples), OutputType::audio);
  const Events events = testing::events(err.contents(), true);
  ASSERT_EQ(events.size(), 11U);
  EXPECT_EQ(
      events[1],
      R"(debug sys_buf#1 rawFloats=960 rawRms=0.0228 first8=["0.5000", "-0.5000", "0.0000", "0.0000", "0.0000", "0.0000", "0.0000", "0.0000"])");
  EXPECT_EQ(events[2], "debug sys_buf#1 postResample n=160 rms=0.0000");
  EXPECT_TRUE(events[9].starts_with("debug sys_buf#5 rawFloats=960"));
  EXPECT_EQ(events[10], "debug sys_buf#5 postResample n=160 rms=0.0000");
}

TEST_F(SystemAudioHandlerTest, ShortAndChannellessBuffersPushEmptyBlocks) {
  VERBOSE_AUDIO = true;
  const std::vector<float> samples(4, 0.5F);
  StreamBasicDescription planarNoChannels = kPlanarStereo;
  planarNoChannels.channelsPerFrame = 0;
  const OutputSince err(events);
  handler.didOutput({true, kInterleavedStereo, ByteRun{samples.data(), 3}}, OutputType::audio);
  handler.didOutput(bufferOf(planarNoChannels, samples), OutputType::audio);
  const Events events = testing::events(err.contents(), true);
  ASSERT_EQ(events.size(), 5U);
  EXPECT_NE(events[0].find("totalLength=3 frameCount=0"), std::string::npos) << events[0];
  EXPECT_EQ(events[1], "debug sys_buf#1 rawFloats=0 rawRms=0.0000 first8=[]");
  EXPECT_EQ(events[2], "debug sys_buf#1 postResample n=0 rms=0.0000");
  EXPECT_EQ(events[4], "debug sys_buf#2 postResample n=0 rms=0.0000");
  EXPECT_EQ(mixer->waitingSystemSamples(), 0U);
}

TEST_F(SystemAudioHandlerTest, NeverReadsPastItsBytesWhateverTheDescriptionSays) {
  // The descriptions claim far more floats per frame than the bytes hold; AddressSanitizer sees any
  // read past the heap block.
  StreamBasicDescription lyingInterleaved = kInterleavedStereo;
  lyingInterleaved.bytesPerFrame = 4;
  lyingInterleaved.channelsPerFrame = 64;
  StreamBasicDescription lyingPlanar = kPlanarStereo;
  lyingPlanar.channelsPerFrame = 1000000;
  lyingPlanar.bytesPerFrame = 1;
  for (const auto& description : {lyingInterleaved, lyingPlanar}) {
    auto* bytes = new float[96]();
    const OutputSince err(events);
    SystemAudioHandler fresh(mixer, events);
    fresh.didOutput({true, description, ByteRun{bytes, 96 * 4}}, OutputType::audio);
    delete[] bytes;
    EXPECT_NE(err.contents().find("sys_format"), std::string::npos);
  }
}

TEST_F(SystemAudioHandlerTest, ReadsBytesThatAreNotAlignedForFloats) {
  std::vector<unsigned char> bytes(3840 + 1);
  std::vector<float> samples(960, 0.5F);
  std::memcpy(bytes.data() + 1, samples.data(), 3840);
  const OutputSince err(events);
  handler.didOutput({true, kInterleavedStereo, ByteRun{bytes.data() + 1, 3840}}, OutputType::audio);
  EXPECT_EQ(mixer->waitingSystemSamples(), 160U);
  const OutputSince out(pcmOut);
  mixer->pushMic(std::vector<float>(1, 0.0F));
  EXPECT_EQ(out.contents(), "\xFF\x3F");

  // Fewer bytes than one float, unaligned: an empty block, and no copy of nothing.
  SystemAudioHandler fresh(mixer, events);
  fresh.didOutput({true, kInterleavedStereo, ByteRun{bytes.data() + 1, 3}}, OutputType::audio);
  EXPECT_EQ(mixer->waitingSystemSamples(), 159U);
}

}  // namespace
}  // namespace zarvi
