#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/event_lines.h"
#include "support/pcm.h"
#include "support/private_pulse_server.h"

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
using testing::ChildProcess;

constexpr double kSystemTone = 440.0;
constexpr double kMicTone = 1000.0;

class RealAudioTest : public ::testing::Test {
 protected:
  void SetUp() override { server = std::make_unique<testing::PrivatePulseServer>(); }

  ChildProcess::Options options(bool micOnly = false) {
    ChildProcess::Options o{{{"PULSE_SERVER", server->address()}},
                            {"ZARVI_AUDIO_VERBOSE", "ZARVI_AUDIO_SEPARATE_TRACKS"}};
    if (micOnly) {
      o.setEnv.emplace_back("ZARVI_AUDIO_MIC_ONLY", "1");
    } else {
      o.unsetEnv.emplace_back("ZARVI_AUDIO_MIC_ONLY");
    }
    return o;
  }

  // Captures about three seconds and returns the PCM after the first half second, as samples.
  std::vector<double> capture(ChildProcess& tool) {
    tool.writeStdin("START\n");
    EXPECT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
    EXPECT_TRUE(tool.waitForStdout(3 * 32000, 20s)) << "only " << tool.stdoutSize() << " bytes";
    tool.writeStdin("STOP\nQUIT\n");
    EXPECT_EQ(tool.waitExit(20s), 0);
    const auto samples = testing::pcmLevels(tool.stdoutBytes());
    if (samples.size() <= 8000) return {};
    return {samples.begin() + 8000, samples.end()};
  }

  std::unique_ptr<testing::PrivatePulseServer> server;
};

TEST_F(RealAudioTest, AFullRunGivesTheEventsInTheirOrder) {
  ChildProcess tool(options());
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"ready"})", 10s));
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  ASSERT_TRUE(tool.waitForStdout(2 * server->micBlockBytes(), 20s));
  tool.writeStdin("STOP\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_stopped"})", 20s)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(testing::events(tool.stderrText()),
            (Events{"status ready", "status system_started", server->micFormatEvent(), "status mic_started",
                    "status capture_started", "status system_stopped", "status mic_stopped",
                    "status capture_stopped", "status quitting"}));
  // The format line follows mic_format; the system audio's first debug lines may come before either.
  Events all = testing::events(tool.stderrText(), true);
  std::erase_if(all, [](const std::string& e) { return e.starts_with("debug sys_"); });
  EXPECT_EQ(all[3],
            "debug mic_format_full sampleRate=" + std::to_string(static_cast<int>(server->micRate())) +
                ".0 channels=2 commonFormat=1 interleaved=false");
  EXPECT_NE(
      tool.stderrText().find("sys_format rate=48000.0 channels=2 bitsPerChannel=32 bytesPerFrame=8 "
                             "bytesPerPacket=8 framesPerPacket=1 flags=0x9(Float|Packed) totalLength=3840 "
                             "frameCount=480 isNonInterleaved=false"),
      std::string::npos);
  // Whole blocks of a length that converts to whole 16 kHz samples (3969 frames at 44.1 kHz: 1440).
  EXPECT_EQ(tool.stdoutSize() % server->micBlockBytes(), 0U);
}

TEST_F(RealAudioTest, MixesTheMicrophoneAndTheSystemAtTheirLevels) {
  server->playTone("speaker", kSystemTone, 0.5, 30);
  server->playTone("micsink", kMicTone, 0.25, 30);
  ChildProcess tool(options());
  const auto samples = capture(tool);
  ASSERT_GT(samples.size(), 16000U);
  EXPECT_NEAR(testing::toneAmplitude(samples, kSystemTone), 0.5, 0.05);
  EXPECT_NEAR(testing::toneAmplitude(samples, kMicTone), 0.25, 0.025);
  EXPECT_LT(testing::toneAmplitude(samples, 700.0), 0.01);
}

TEST_F(RealAudioTest, SystemAudioComesThroughWhileTheMicrophoneIsSilent) {
  server->playTone("speaker", kSystemTone, 0.5, 30);
  ChildProcess tool(options());
  const auto samples = capture(tool);
  ASSERT_GT(samples.size(), 16000U);
  EXPECT_NEAR(testing::toneAmplitude(samples, kSystemTone), 0.5, 0.05);
  EXPECT_LT(testing::toneAmplitude(samples, kMicTone), 0.01);
}

TEST_F(RealAudioTest, MicrophoneOnlyModeLeavesTheSystemOut) {
  server->playTone("speaker", kSystemTone, 0.5, 30);
  server->playTone("micsink", kMicTone, 0.25, 30);
  ChildProcess tool(options(true));
  const auto samples = capture(tool);
  ASSERT_GT(samples.size(), 16000U);
  EXPECT_LT(testing::toneAmplitude(samples, kSystemTone), 0.01);
  EXPECT_NEAR(testing::toneAmplitude(samples, kMicTone), 0.25, 0.025);
  EXPECT_EQ(tool.stderrText().find("system_started"), std::string::npos);
  EXPECT_NE(tool.stderrText().find("mic_only_mode"), std::string::npos);
}

TEST_F(RealAudioTest, WithNoMicrophoneTheSystemAudioIsRecordedOnce) {
  // A machine with no microphone: the default source is the speaker's monitor, which is no microphone.
  server->pactl("set-default-source speaker.monitor");
  server->playTone("speaker", kSystemTone, 0.5, 30);
  ChildProcess tool(options());
  const auto samples = capture(tool);
  ASSERT_GT(samples.size(), 16000U) << "the system audio drives the stream";
  EXPECT_NEAR(testing::toneAmplitude(samples, kSystemTone), 0.5, 0.05) << "heard once, not twice";
  EXPECT_EQ(
      testing::events(tool.stderrText()),
      (Events{"status ready", "status system_started", "status mic_format: 0.0Hz, 0ch",
              "error Mic start failed: no microphone: the default source speaker.monitor is the monitor of a "
              "sink, not a microphone",
              "status capture_started", "status system_stopped", "status capture_stopped",
              "status quitting"}));
}

TEST_F(RealAudioTest, SeparateTracksCarryEachSourceOnItsOwnChannel) {
  server->playTone("speaker", kSystemTone, 0.5, 30);
  server->playTone("micsink", kMicTone, 0.25, 30);
  for (const bool micOnly : {false, true}) {
    SCOPED_TRACE(micOnly ? "microphone only" : "both sources");
    auto withTracks = options(micOnly);
    withTracks.setEnv.emplace_back("ZARVI_AUDIO_SEPARATE_TRACKS", "1");
    ChildProcess tool(withTracks);
    const auto interleaved = capture(tool);
    EXPECT_EQ(tool.stdoutSize() % 4, 0U) << "whole frames";
    std::vector<double> microphone;
    std::vector<double> system;
    for (std::size_t i = 0; i + 1 < interleaved.size(); i += 2) {
      microphone.push_back(interleaved[i]);
      system.push_back(interleaved[i + 1]);
    }
    ASSERT_GT(microphone.size(), 16000U);
    EXPECT_NEAR(testing::toneAmplitude(microphone, kMicTone), 0.25, 0.025);
    EXPECT_LT(testing::toneAmplitude(microphone, kSystemTone), 0.01);
    if (micOnly) {
      EXPECT_EQ(*std::max_element(system.begin(), system.end()), 0.0);
      EXPECT_EQ(*std::min_element(system.begin(), system.end()), 0.0);
    } else {
      EXPECT_NEAR(testing::toneAmplitude(system, kSystemTone), 0.5, 0.05);
      EXPECT_LT(testing::toneAmplitude(system, kMicTone), 0.01);
    }
  }
}

}  // namespace
}  // namespace zarvi
