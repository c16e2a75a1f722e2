#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <limits>
#include <span>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/command_reader.h"
#include "support/child_process.h"
#include "support/event_lines.h"
#include "support/pcm.h"
#include "support/private_pulse_server.h"

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Events = std::vector<std::string>;
using testing::ChildProcess;

const std::string kCaptureStarted = R"({"type":"status","msg":"capture_started"})";
const std::string kCaptureStopped = R"({"type":"status","msg":"capture_stopped"})";
// The tool's own footprint stays far below this. Sanitizers hold freed memory in quarantine, so their
// builds are not measured against it.
void expectBoundedMemory(long peakKb) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)peakKb;
#else
  EXPECT_LT(peakKb, 64 * 1024) << "peak resident memory in KiB";
#endif
}

// A host that does not read for a while, once audio flows: the pipe fills (it holds 2 s) and the
// tool waits to write.
// Returns what it read of it.
std::string fillStdout(ChildProcess& tool) {
  std::string first = tool.readStdout(2, 20s);
  EXPECT_NE(first, "") << "no PCM";
  std::this_thread::sleep_for(3s);
  return first;
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { server = std::make_unique<testing::PrivatePulseServer>(); }

  ChildProcess::Options options(bool drainStdout = true) {
    return {
        {{"PULSE_SERVER", server->address()}}, {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"}, drainStdout};
  }

  std::unique_ptr<testing::PrivatePulseServer> server;
};

TEST_F(FaultTest, AServerThatDiesWhileCapturingIsReportedOnceAndCommandsStillWork) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  ASSERT_TRUE(tool.waitForStdout(server->micBlockBytes(), 20s));
  server->kill();
  const auto reported = [](const std::string& text) {
    return text.find("Mic stream failed: ") != std::string::npos &&
           text.find("system_audio_stream_failed: ") != std::string::npos;
  };
  ASSERT_TRUE(tool.waitForStderr(reported, 20s)) << tool.stderrText();
  tool.writeStdin("STOP\nQUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  const Events events = testing::events(tool.stderrText());
  ASSERT_EQ(events.size(), 11U) << tool.stderrText();
  const Events failures(events.begin() + 5, events.begin() + 7);
  EXPECT_TRUE(std::is_permutation(failures.begin(), failures.end(),
                                  Events{"error Mic stream failed: Connection terminated",
                                         "warn system_audio_stream_failed: Connection terminated"}
                                      .begin()))
      << failures[0] << " / " << failures[1];
  EXPECT_EQ(Events(events.begin() + 7, events.end()), (Events{"status system_stopped", "status mic_stopped",
                                                              "status capture_stopped", "status quitting"}));
}

// A capture started before the sound server is up (a login session still starting), or before it
// has any device, takes them in when they come, with no new START.
TEST_F(FaultTest, AServerOrDevicesThatComeDuringTheCaptureAreTakenInWithNoNewStart) {
  constexpr double kSpeakerTone = 440.0;
  constexpr double kMicTone = 1000.0;
  const struct {
    const char* what;
    bool serverUp;  // with none of the devices
  } cases[] = {{"the server comes up", false}, {"the devices come", true}};
  std::vector<double> delaysMs;
  for (const auto& c : cases) {
    for (int round = 1; round <= 3; ++round) {
      SCOPED_TRACE(std::string(c.what) + ", round " + std::to_string(round));
      server->stop();
      if (c.serverUp) server->startBare();
      ChildProcess tool(options());
      tool.writeStdin("START\n");
      ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
      // The failures name what is missing.
      const Events atStart = testing::events(tool.stderrText());
      const auto has = [&](const std::string& prefix) {
        return std::any_of(atStart.begin(), atStart.end(),
                           [&](const std::string& e) { return e.starts_with(prefix); });
      };
      if (!c.serverUp) {
        const std::string noServer = "no sound server at " + server->address() + " (PULSE_SERVER): ";
        EXPECT_TRUE(has("warn system_audio_start_failed: " + noServer)) << tool.stderrText();
        EXPECT_TRUE(has("error Mic start failed: " + noServer)) << tool.stderrText();
        EXPECT_FALSE(tool.waitForStdout(1, 1s)) << "PCM with no server";
      } else {
        EXPECT_TRUE(has("error Mic start failed: no microphone: the sound server has no source that is not "
                        "a monitor"))
            << tool.stderrText();
        // A bare PipeWire has its "Dummy Output" as the default sink, and records from it.
        tool.waitForStdout(std::numeric_limits<std::size_t>::max(), 1s);
      }

      const std::size_t before = tool.stdoutSize() / 2;
      if (c.serverUp) {
        server->addStandardDevices();
      } else {
        server->start();
      }
      const auto appeared = Clock::now();
      server->playTone("speaker", kSpeakerTone, 0.5, 60);
      server->playTone("micsink", kMicTone, 0.25, 60);
      ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"mic_resumed: Microphone"})", 20s))
          << tool.stderrText();
      const double resumedMs = std::chrono::duration<double, std::milli>(Clock::now() - appeared).count();
      ASSERT_TRUE(tool.waitForStderr(
          [](const std::string& text) {
            return text.find("system_audio_resumed: Speaker") != std::string::npos ||
                   text.find("system_audio_switched: Speaker") != std::string::npos;
          },
          20s))
          << tool.stderrText();
      ASSERT_TRUE(tool.waitForStdout(2 * (before + 3 * 16000), 20s)) << tool.stderrText();
      tool.writeStdin("STOP\nQUIT\n");
      ASSERT_EQ(tool.waitExit(20s), 0);

      // When the microphone's tone first reached the host; it includes the player's own start.
      const auto samples = testing::pcmLevels(tool.stdoutBytes());
      std::size_t heard = before;
      while (heard + 400 <= samples.size() &&
             testing::blockAmplitude(std::span(samples).subspan(heard, 400), kMicTone) < 0.125)
        heard += 400;
      ASSERT_LE(heard + 400, samples.size()) << "the microphone is never heard";
      const auto arrival = tool.stdoutArrival(2 * heard);
      ASSERT_TRUE(arrival);
      delaysMs.push_back(std::chrono::duration<double, std::milli>(*arrival - appeared).count());
      std::printf("%s, %s: mic_resumed %.0f ms and the microphone's tone on stdout %.0f ms after it appeared\n",
                  server->kind().c_str(), c.what, resumedMs, delaysMs.back());
      EXPECT_LT(*arrival - appeared, 5s);
      const std::vector<double> last(samples.end() - 16000, samples.end());
      EXPECT_NEAR(testing::toneAmplitude(last, kSpeakerTone), 0.5, 0.1);
      EXPECT_NEAR(testing::toneAmplitude(last, kMicTone), 0.25, 0.05);

      // The stop answers the start: neither source was started with the capture.
      const Events events = testing::events(tool.stderrText());
      const Events expectedEnd{"status capture_stopped", "status quitting"};
      ASSERT_GE(events.size(), 2U);
      EXPECT_EQ(Events(events.end() - 2, events.end()), expectedEnd) << tool.stderrText();
      EXPECT_EQ(std::count(events.begin(), events.end(), "status mic_stopped"), 0);
    }
  }
  std::sort(delaysMs.begin(), delaysMs.end());
  std::printf("%s: from appearance to the microphone on stdout: median %.0f ms, worst %.0f ms\n",
              server->kind().c_str(), delaysMs[delaysMs.size() / 2], delaysMs.back());
}

TEST_F(FaultTest, AFrozenServerFailsTheStartInTimeAndQuitStillEndsTheProcess) {
  ChildProcess tool(options());
  // A first run connects both sources; the freeze then finds open connections, the harder case.
  tool.writeStdin("START\nSTOP\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStopped, 20s)) << tool.stderrText();
  server->signal(SIGSTOP);
  const auto startSent = Clock::now();
  tool.writeStdin("START\n");
  tool.writeStdin("QUIT\n");
  const bool started = tool.waitForLine(kCaptureStarted, 15s, 2);
  const auto startTook = Clock::now() - startSent;
  const auto status = tool.waitExit(15s);
  const auto quitTook = Clock::now() - startSent;
  server->signal(SIGCONT);
  std::printf("frozen server: START answered after %.1f s, the process ended %.1f s after QUIT was sent\n",
              std::chrono::duration<double>(startTook).count(),
              std::chrono::duration<double>(quitTook).count());
  ASSERT_TRUE(started) << tool.stderrText();
  EXPECT_LE(startTook, 10s);
  EXPECT_EQ(status, 0);
  EXPECT_LE(quitTook, 15s);
  const Events events = testing::events(tool.stderrText());
  const Events secondRun(events.begin() + 8, events.end());
  ASSERT_EQ(secondRun.size(), 6U) << tool.stderrText();
  EXPECT_EQ(secondRun[0], "warn system_audio_start_failed: Timeout");
  EXPECT_EQ(secondRun[1], "status mic_format: 0.0Hz, 0ch");
  EXPECT_EQ(secondRun[2], "error Mic start failed: Timeout");
  EXPECT_EQ(Events(secondRun.begin() + 3, secondRun.end()),
            (Events{"status capture_started", "status capture_stopped", "status quitting"}));
}

TEST_F(FaultTest, ATerminatingSignalStopsWithEveryEventAndASecondOneWhileStoppingEndsAtOnce) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  ASSERT_TRUE(tool.waitForStdout(server->micBlockBytes(), 20s)) << tool.stderrText();
  tool.signal(SIGTERM);
  EXPECT_EQ(tool.waitExit(20s), 0);
  const Events events = testing::events(tool.stderrText());
  ASSERT_GE(events.size(), 3U);
  EXPECT_EQ(Events(events.end() - 3, events.end()),
            (Events{"status system_stopped", "status mic_stopped", "status capture_stopped"}));

  // A host that stopped reading holds the stop (the capture's last PCM waits to be written); the
  // second signal does not wait for it.
  ChildProcess held(options(false));
  held.writeStdin("START\n");
  ASSERT_TRUE(held.waitForLine(kCaptureStarted, 20s)) << held.stderrText();
  fillStdout(held);
  held.signal(SIGINT);
  const bool endedAlready = held.waitExit(500ms).has_value();
  const auto secondSent = Clock::now();
  held.signal(SIGINT);
  const auto status = held.waitExit(5s);
  const auto took = Clock::now() - secondSent;
  ASSERT_FALSE(endedAlready) << "the stop did not wait for its PCM to be written";
  // The stop is held for as long as nobody reads: only the second signal can have ended it.
  EXPECT_EQ(status, 128 + SIGINT);
  std::printf("%s: the second signal ended the process %.0f ms after it was sent\n", server->kind().c_str(),
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_EQ(held.stderrText().find("capture_stopped"), std::string::npos);
}

// A host reads the capture's PCM up to capture_stopped on stderr, and then knows it has all of it:
// no byte of the capture comes after that line, and none of the next capture before it.
TEST_F(FaultTest, EveryByteOfACaptureIsWrittenBeforeCaptureStopped) {
  server->playTone("micsink", 1000.0, 0.25, 60);
  ChildProcess tool(options(false));
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  std::string pcm = fillStdout(tool);
  tool.writeStdin("STOP\n");
  EXPECT_FALSE(tool.waitForLine(kCaptureStopped, 1s)) << "capture_stopped came with PCM still unwritten";
  while (tool.stderrText().find("capture_stopped") == std::string::npos) {
    pcm += tool.readStdout(1 << 20, 100ms);
    ASSERT_EQ(tool.waitExit(0ms), std::nullopt);
  }
  pcm += tool.readStdout(1 << 20, 300ms);
  EXPECT_EQ(tool.readStdout(1 << 20, 700ms), "") << "PCM after capture_stopped";
  EXPECT_GT(pcm.size(), 3U * 16000) << "the pipe's worth and more";
  EXPECT_EQ(pcm.size() % 2, 0U);
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
}

TEST_F(FaultTest, AHostThatClosesStdoutLosesOnlyThePcm) {
  ChildProcess tool(options(false));
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  EXPECT_FALSE(tool.readStdout(server->micBlockBytes(), 10s).empty());
  tool.closeStdout();
  // Long enough for several blocks to meet the closed pipe.
  std::this_thread::sleep_for(1s);
  tool.writeStdin("STOP\nSTART\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s, 2)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(testing::events(tool.stderrText()).back(), "status quitting");
}

TEST_F(FaultTest, AHostThatStopsReadingForTenSecondsGetsWholeBlocksAfterwards) {
  ChildProcess tool(options(false));
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  std::string pcm = tool.readStdout(4 * server->micBlockBytes(), 10s);
  // The stall is the scenario itself: nothing is read for ten seconds, and STOP comes in the middle.
  std::this_thread::sleep_for(5s);
  tool.writeStdin("STOP\n");
  std::this_thread::sleep_for(5s);
  const long peakKb = tool.peakMemoryKb();
  while (tool.running()) {
    const std::string more = tool.readStdout(1 << 20, 200ms);
    pcm += more;
    if (more.empty() && tool.stderrText().find("capture_stopped") != std::string::npos) break;
  }
  ASSERT_TRUE(tool.waitForLine(kCaptureStopped, 20s)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  pcm += tool.readStdout(1 << 20, 2s);
  EXPECT_EQ(tool.waitExit(20s), 0);
  EXPECT_EQ(pcm.size() % server->micBlockBytes(), 0U) << pcm.size();
  EXPECT_GT(pcm.size(), 4 * server->micBlockBytes());
  expectBoundedMemory(peakKb);
  std::printf("peak resident memory while stalled: %ld KiB, PCM afterwards: %zu bytes\n", peakKb, pcm.size());
}

// Random bytes that hold no command line, so that the process lives through all of them.
std::string randomNonCommands(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    const auto r = random() % 1000;
    byte = r < 4 ? '\n' : r < 8 ? '\r' : r < 12 ? '\0' : static_cast<char>(random() % 256);
  }
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
    const std::string word = commandWord(std::string_view(bytes).substr(start, end - start));
    if (word == "START" || word == "STOP" || word == "QUIT") bytes[start] = 'x';
    start = end + 1;
  }
  return bytes;
}

TEST_F(FaultTest, HostileInputOnStdinKeepsEveryLineValidAndMemoryBounded) {
  ChildProcess tool(options());
  tool.writeStdin(randomNonCommands(10 << 20));
  tool.writeStdin("\n");
  const std::string hugeLine(100 << 20, 'q');
  tool.writeStdin(hugeLine);
  // The pipe holds at most 64 KiB, so nearly all of it has been read by now.
  const long peakKb = tool.peakMemoryKb();
  tool.writeStdin("\nQUIT\n");
  EXPECT_EQ(tool.waitExit(60s), 0);
  const Events events = testing::events(tool.stderrText());
  ASSERT_GE(events.size(), 3U);
  for (const auto& event : events) ASSERT_FALSE(event.starts_with("unparsable")) << event.substr(0, 200);
  EXPECT_EQ(events.front(), "status ready");
  EXPECT_EQ(events[events.size() - 2], "warn Unknown command: " + std::string(64 * 1024, 'Q'));
  EXPECT_EQ(events.back(), "status quitting");
  expectBoundedMemory(peakKb);
  std::printf("peak resident memory after 110 MB of input: %ld KiB, %zu events\n", peakKb, events.size());
}

TEST_F(FaultTest, TwoHundredStartStopPairsKeepTheirOrderAndLeakNothing) {
  ChildProcess tool(options());
  tool.writeStdin("START\nSTOP\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStopped, 20s)) << tool.stderrText();
  const int descriptorsAfterFirst = tool.openDescriptors();
  const int threadsAfterFirst = tool.threads();
  std::string pairs;
  for (int i = 0; i < 200; ++i) pairs += "START\nSTOP\n";
  tool.writeStdin(pairs);
  ASSERT_TRUE(tool.waitForLine(kCaptureStopped, 240s, 201)) << tool.stderrText().substr(0, 2000);
  const int descriptorsAfterAll = tool.openDescriptors();
  const int threadsAfterAll = tool.threads();
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);

  const Events run = {"status system_started",  server->micFormatEvent(), "status mic_started",
                      "status capture_started", "status system_stopped",  "status mic_stopped",
                      "status capture_stopped"};
  Events expected = {"status ready"};
  for (int i = 0; i < 201; ++i) expected.insert(expected.end(), run.begin(), run.end());
  expected.push_back("status quitting");
  EXPECT_EQ(testing::events(tool.stderrText()), expected);
  EXPECT_LE(descriptorsAfterAll, descriptorsAfterFirst);
  EXPECT_LE(threadsAfterAll, threadsAfterFirst);
  std::printf("after the first capture: %d descriptors, %d threads; after 201: %d descriptors, %d threads\n",
              descriptorsAfterFirst, threadsAfterFirst, descriptorsAfterAll, threadsAfterAll);
}

}  // namespace
}  // namespace zarvi
