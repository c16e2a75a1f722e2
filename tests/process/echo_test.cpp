// Echo cancelling in a simulated room: what the speaker plays reaches the microphone 0.12 s later,
// reverberant and 3 dB down (scripts/simulated-room.sh); the far end and the near end are speech in
// two voices. The tracks are kept apart, so the microphone's track shows what the canceller left.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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
using testing::ChildProcess;

const char* const kFarEnd =
    "Good morning everyone. Let us look at the numbers for the third quarter. Sales went up in every "
    "region, and the new product line did better than we planned.";
const char* const kNearEnd = "Thanks. I have a question about the spring hiring plan and the budget for it.";

class EchoTest : public ::testing::Test {
 protected:
  void SetUp() override { server = std::make_unique<testing::PrivatePulseServer>(); }

  // Seconds of the microphone's track, with or without the canceller; the events beside.
  std::vector<double> microphoneTrack(bool cancel, double seconds, std::string& events) {
    ChildProcess::Options options{{{"PULSE_SERVER", server->address()}, {"ZARVI_AUDIO_SEPARATE_TRACKS", "1"}},
                                  {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"}};
    if (cancel) {
      options.setEnv.emplace_back("ZARVI_AUDIO_ECHO_CANCEL", "1");
    } else {
      options.unsetEnv.emplace_back("ZARVI_AUDIO_ECHO_CANCEL");
    }
    ChildProcess tool(options);
    tool.writeStdin("START\n");
    EXPECT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
    const std::size_t bytes = static_cast<std::size_t>(seconds * 16000) * 4;
    EXPECT_TRUE(tool.waitForStdout(bytes, 30s)) << tool.stderrText();
    tool.writeStdin("STOP\nQUIT\n");
    EXPECT_EQ(tool.waitExit(20s), 0);
    events = tool.stderrText();
    const auto interleaved = testing::pcmLevels(tool.stdoutBytes().substr(0, bytes));
    std::vector<double> microphone;
    for (std::size_t i = 0; i < interleaved.size(); i += 2) microphone.push_back(interleaved[i]);
    return microphone;
  }

  static double levelDb(const std::vector<double>& samples, double from, double to) {
    double sum = 1e-12;
    const auto first = static_cast<std::size_t>(from * 16000);
    const auto last = std::min(samples.size(), static_cast<std::size_t>(to * 16000));
    for (std::size_t i = first; i < last; ++i) sum += samples[i] * samples[i];
    return 10 * std::log10(sum / static_cast<double>(last - first));
  }

  std::unique_ptr<testing::PrivatePulseServer> server;
};

TEST_F(EchoTest, TheFarEndsEchoLeavesTheMicrophoneAndTheNearEndStays) {
  server->startRoom(0.12, -3);
  server->playSpeech("speaker", "en-us", kFarEnd);
  std::string events;
  const auto plain = microphoneTrack(false, 9, events);
  const auto cancelled = microphoneTrack(true, 9, events);
  EXPECT_NE(events.find(R"({"type":"status","msg":"echo_cancel_started"})"
                        "\n"
                        R"({"type":"status","msg":"capture_started"})"),
            std::string::npos)
      << events;
  // Far-end talk alone, from 3 s on: the echo loses at least 20 dB.
  const double echoRemoved = levelDb(plain, 3, 9) - levelDb(cancelled, 3, 9);
  std::printf(
      "%s: far-end echo on the microphone's track %.1f dB without the canceller, %.1f dB with it: "
      "%.1f dB removed\n",
      server->kind().c_str(), levelDb(plain, 3, 9), levelDb(cancelled, 3, 9), echoRemoved);
  EXPECT_GE(echoRemoved, 20.0);

  // The near end alone, nothing playing: kept at its level.
  server->stopPlaying();
  server->playSpeech("micsink", "en-gb+f3", kNearEnd);
  const auto nearPlain = microphoneTrack(false, 6, events);
  const auto nearCancelled = microphoneTrack(true, 6, events);
  const double nearChange = levelDb(nearCancelled, 1, 6) - levelDb(nearPlain, 1, 6);
  std::printf("%s: the near end alone %+.2f dB with the canceller\n", server->kind().c_str(), nearChange);
  EXPECT_NEAR(nearChange, 0.0, 1.0);
}

// The session's sound server is still coming up at START: cancelling begins once system audio does.
TEST_F(EchoTest, CancellingStartsWhenSystemAudioComesAfterTheStart) {
  server->stop();
  ChildProcess tool(
      {{{"PULSE_SERVER", server->address()}, {"ZARVI_AUDIO_ECHO_CANCEL", "1"}, {"ZARVI_AUDIO_VERBOSE", "1"}},
       {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_SEPARATE_TRACKS"}});
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  EXPECT_NE(tool.stderrText().find(R"({"type":"warn","msg":"echo_cancel_unavailable: no system audio"})"
                                   "\n"
                                   R"({"type":"status","msg":"capture_started"})"),
            std::string::npos)
      << tool.stderrText();
  server->start();
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"echo_cancel_started"})", 20s)) << tool.stderrText();
  // The microphone's blocks go through the canceller from then on.
  ASSERT_TRUE(tool.waitForStderr(
      [](const std::string& text) { return text.find(R"("msg":"aec#)") != std::string::npos; }, 20s))
      << tool.stderrText();
  tool.writeStdin("STOP\nQUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  const auto events = testing::events(tool.stderrText());
  const auto resumed = std::find(events.begin(), events.end(), "status system_audio_resumed: Speaker");
  const auto started = std::find(events.begin(), events.end(), "status echo_cancel_started");
  EXPECT_LT(resumed, started) << tool.stderrText();
  EXPECT_EQ(std::count(events.begin(), events.end(), "status echo_cancel_started"), 1);
}

}  // namespace
}  // namespace zarvi
