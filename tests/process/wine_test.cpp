#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/event_lines.h"
#include "support/pcm.h"
#include "support/private_pulse_server.h"
#include "support/wine_prefix.h"

// The Windows binary under Wine (ZARVI_TOOL runs it), against a private PulseAudio server that Wine
// plays and records through. Wine has no loopback: system audio is recorded from the monitor of the
// default render endpoint instead (ZARVI_TEST_SYSTEM_AUDIO_MONITOR), and the default endpoints are
// changed in Wine's registry, which is where Wine takes them from.

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
using testing::ChildProcess;
namespace wine = testing::wine;

constexpr double kSpeakerTone = 440.0;
constexpr double kHeadphonesTone = 660.0;
constexpr double kMicTone = 1000.0;
constexpr double kUsbMicTone = 1500.0;
constexpr std::size_t kBytesPerSecond = 32000;

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<testing::PrivatePulseServer>();
    server->addHeadphones();
    server->addUsbMicrophone();
    {
      // Wine names the server's devices as endpoints when a program first lists them.
      ChildProcess lister(options());
      lister.writeStdin("START\nQUIT\n");
      ASSERT_EQ(lister.waitExit(30s), 0) << lister.stderrText();
    }
    renderEndpoints = wine::endpoints(wine::Flow::render);
    captureEndpoints = wine::endpoints(wine::Flow::capture);
    for (const char* name : {"Speaker", "Headphones"}) ASSERT_TRUE(renderEndpoints.contains(name)) << name;
    for (const char* name : {"Microphone", "USB-Microphone"})
      ASSERT_TRUE(captureEndpoints.contains(name)) << name;
    wine::setDefault(wine::Flow::render, renderEndpoints["Speaker"]);
    wine::setDefault(wine::Flow::capture, captureEndpoints["Microphone"]);
    server->playTone("speaker", kSpeakerTone, 0.5, 120);
    server->playTone("headphones", kHeadphonesTone, 0.5, 120);
    server->playTone("micsink", kMicTone, 0.25, 120);
    server->playTone("usbfeed", kUsbMicTone, 0.25, 120);
  }

  ChildProcess::Options options() {
    return {{{"PULSE_SERVER", server->address()}, {"ZARVI_TEST_SYSTEM_AUDIO_MONITOR", "1"}},
            {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"}};
  }

  // The levels of the tones in the second of PCM that ends at the given byte.
  static std::vector<double> secondBefore(ChildProcess& tool, std::size_t end) {
    const std::string bytes = tool.stdoutBytes();
    end = std::min(end, bytes.size()) / 2 * 2;
    const std::size_t start = end > kBytesPerSecond ? end - kBytesPerSecond : 0;
    return testing::pcmLevels(bytes.substr(start, end - start));
  }

  // Makes the endpoint the default for its flow, waits for the event line that answers it, and gives
  // the levels of the last of the two seconds recorded after it.
  static void switchDefault(ChildProcess& tool, wine::Flow flow, const std::string& endpoint,
                            const std::string& eventLine, std::vector<double>& levelsAfter) {
    wine::setDefault(flow, endpoint);
    ASSERT_TRUE(tool.waitForLine(eventLine, 5s)) << tool.stderrText();
    const std::size_t switched = tool.stdoutSize();
    ASSERT_TRUE(tool.waitForStdout(switched + 2 * kBytesPerSecond, 10s));
    levelsAfter = secondBefore(tool, tool.stdoutSize());
  }

  std::unique_ptr<testing::PrivatePulseServer> server;
  std::map<std::string, std::string> renderEndpoints;
  std::map<std::string, std::string> captureEndpoints;
};

TEST_F(WineTest, AFullRunGivesTheEventsAndBothTonesAtTheirLevels) {
  auto o = options();
  o.setEnv.emplace_back("ZARVI_AUDIO_VERBOSE", "1");
  ChildProcess tool(o);
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForStdout(3 * kBytesPerSecond, 20s)) << tool.stderrText();
  tool.writeStdin("STOP\nQUIT\n");
  ASSERT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(testing::events(tool.stderrText()),
            (Events{"status ready", "status system_started", "status mic_format: 44100.0Hz, 2ch",
                    "status mic_started", "status capture_started", "status system_stopped",
                    "status mic_stopped", "status capture_stopped", "status quitting"}));
  EXPECT_NE(
      tool.stderrText().find("sys_format rate=48000.0 channels=2 bitsPerChannel=32 bytesPerFrame=8 "
                             "bytesPerPacket=8 framesPerPacket=1 flags=0x9(Float|Packed) totalLength=3840 "
                             "frameCount=480 isNonInterleaved=false"),
      std::string::npos)
      << tool.stderrText();
  // Whole microphone blocks: 3969 frames at 44.1 kHz are 1440 samples.
  EXPECT_EQ(tool.stdoutSize() % 2880, 0U);
  const auto samples = secondBefore(tool, tool.stdoutSize());
  EXPECT_NEAR(testing::toneAmplitude(samples, kSpeakerTone), 0.5, 0.05);
  EXPECT_NEAR(testing::toneAmplitude(samples, kMicTone), 0.25, 0.025);
  EXPECT_LT(testing::toneAmplitude(samples, kHeadphonesTone), 0.01);
  EXPECT_LT(testing::toneAmplitude(samples, kUsbMicTone), 0.01);
}

TEST_F(WineTest, FollowsTheDefaultEndpointsSetInTheRegistry) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForStdout(kBytesPerSecond, 20s)) << tool.stderrText();

  std::vector<double> afterMicSwitch;
  ASSERT_NO_FATAL_FAILURE(switchDefault(tool, wine::Flow::capture, captureEndpoints["USB-Microphone"],
                                        R"({"type":"status","msg":"mic_switched: USB-Microphone"})",
                                        afterMicSwitch));
  EXPECT_NEAR(testing::toneAmplitude(afterMicSwitch, kUsbMicTone), 0.25, 0.025);
  EXPECT_LT(testing::toneAmplitude(afterMicSwitch, kMicTone), 0.01);
  EXPECT_NEAR(testing::toneAmplitude(afterMicSwitch, kSpeakerTone), 0.5, 0.05);

  std::vector<double> afterOutputSwitch;
  ASSERT_NO_FATAL_FAILURE(switchDefault(tool, wine::Flow::render, renderEndpoints["Headphones"],
                                        R"({"type":"status","msg":"system_audio_switched: Headphones"})",
                                        afterOutputSwitch));
  EXPECT_NEAR(testing::toneAmplitude(afterOutputSwitch, kHeadphonesTone), 0.5, 0.05);
  EXPECT_LT(testing::toneAmplitude(afterOutputSwitch, kSpeakerTone), 0.01);
  EXPECT_NEAR(testing::toneAmplitude(afterOutputSwitch, kUsbMicTone), 0.25, 0.025);

  tool.writeStdin("STOP\nQUIT\n");
  ASSERT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(testing::events(tool.stderrText()),
            (Events{"status ready", "status system_started", "status mic_format: 44100.0Hz, 2ch",
                    "status mic_started", "status capture_started", "status mic_switched: USB-Microphone",
                    "status system_audio_switched: Headphones", "status system_stopped", "status mic_stopped",
                    "status capture_stopped", "status quitting"}));
}

TEST_F(WineTest, AMicrophoneThatGoesIsReportedAndSystemAudioCarriesTheStream) {
  wine::setDefault(wine::Flow::capture, captureEndpoints["USB-Microphone"]);
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForStdout(kBytesPerSecond, 20s)) << tool.stderrText();
  server->pactl("unload-module " + server->moduleMaking("source_name=usbmic"));
  ASSERT_TRUE(tool.waitForStderr(
      [](const std::string& text) { return text.find("Mic stream failed: ") != std::string::npos; }, 10s))
      << tool.stderrText();
  const std::size_t lost = tool.stdoutSize();
  ASSERT_TRUE(tool.waitForStdout(lost + 2 * kBytesPerSecond, 10s)) << "system audio drives the stream";
  const auto samples = secondBefore(tool, tool.stdoutSize());
  EXPECT_NEAR(testing::toneAmplitude(samples, kSpeakerTone), 0.5, 0.05);
  EXPECT_LT(testing::toneAmplitude(samples, kUsbMicTone), 0.01);
  tool.writeStdin("STOP\nQUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
}

TEST_F(WineTest, EchoCancellingSaysTheWindowsBuildHasNoCanceller) {
  auto withEcho = options();
  withEcho.setEnv.emplace_back("ZARVI_AUDIO_ECHO_CANCEL", "1");
  ChildProcess tool(withEcho);
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  tool.writeStdin("STOP\nQUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  const auto events = testing::events(tool.stderrText());
  const auto started = std::find(events.begin(), events.end(), "status capture_started");
  ASSERT_NE(started, events.begin());
  EXPECT_EQ(*(started - 1), "warn echo_cancel_unavailable: this Windows build has no echo canceller");
}

TEST_F(WineTest, AHostThatClosesStdoutLosesOnlyThePcm) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForStdout(2880, 20s)) << tool.stderrText();
  tool.closeStdout();
  // Long enough for several blocks to meet the closed pipe.
  std::this_thread::sleep_for(1s);
  tool.writeStdin("STOP\nSTART\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s, 2)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(testing::events(tool.stderrText()).back(), "status quitting");
}

}  // namespace
}  // namespace zarvi
