#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/event_lines.h"

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
using testing::ChildProcess;

// No sound server at all: every capture is the degraded one.
ChildProcess::Options withoutServer() {
  return {{{"PULSE_SERVER", "unix:/nonexistent/zarvi/native"}},
          {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"}};
}

// The events of a whole session: the input written at once, stdin closed, the exit awaited.
struct Session {
  Events events;
  std::optional<int> status;
  std::string stderrText;
};

Session runSession(const std::string& input, ChildProcess::Options options = withoutServer()) {
  ChildProcess tool(std::move(options));
  tool.writeStdin(input);
  tool.closeStdin();
  const auto status = tool.waitExit(30s);
  return {testing::events(tool.stderrText()), status, tool.stderrText()};
}

Events startEventsWithoutServer(const Events& events) {
  Events starts;
  for (const auto& e : events) {
    if (e.starts_with("warn system_audio_start_failed: ") || e == "status mic_format: 0.0Hz, 0ch" ||
        e.starts_with("error Mic start failed: ")) {
      continue;
    }
    starts.push_back(e);
  }
  return starts;
}

TEST(Protocol, WithoutAServerACaptureRunsDegradedAndEverythingStillAnswers) {
  ChildProcess tool(withoutServer());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  tool.writeStdin("STOP\nQUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  const Events all = testing::events(tool.stderrText(), true);
  ASSERT_EQ(all.size(), 8U) << tool.stderrText();
  EXPECT_EQ(all[0], "status ready");
  EXPECT_TRUE(all[1].starts_with("warn system_audio_start_failed: ")) << all[1];
  EXPECT_GT(all[1].size(), std::string("warn system_audio_start_failed: ").size());
  EXPECT_EQ(all[2], "status mic_format: 0.0Hz, 0ch");
  EXPECT_EQ(all[3], "debug mic_format_full sampleRate=0.0 channels=0 commonFormat=0 interleaved=false");
  EXPECT_TRUE(all[4].starts_with("error Mic start failed: ")) << all[4];
  EXPECT_EQ((Events{all[5], all[6], all[7]}),
            (Events{"status capture_started", "status capture_stopped", "status quitting"}));
  EXPECT_EQ(tool.stdoutSize(), 0U);
}

TEST(Protocol, CommandsIgnoreCaseAndSurroundingBlanks) {
  for (const std::string start : {"start\n", "Start\n", "  START  \r\n", "\tstart"}) {
    const auto session = runSession(start);
    EXPECT_EQ(session.status, 0);
    EXPECT_EQ(startEventsWithoutServer(session.events),
              (Events{"status ready", "status capture_started", "status capture_stopped"}))
        << start;
  }
}

TEST(Protocol, OtherLinesAreWarnedAboutAndTheReaderGoesOn) {
  const auto session = runSession("\n \t \nSTART NOW\nbegin\na\"b\nQUIT\n");
  EXPECT_EQ(session.status, 0);
  EXPECT_EQ(session.events, (Events{"status ready", "warn Unknown command: ", "warn Unknown command: ",
                                    "warn Unknown command: START NOW", "warn Unknown command: BEGIN",
                                    "warn Unknown command: A\"B", "status quitting"}));
  EXPECT_NE(session.stderrText.find("{\"type\":\"warn\",\"msg\":\"Unknown command: A\\\"B\"}\n"),
            std::string::npos);
  EXPECT_NE(session.stderrText.find("{\"type\":\"warn\",\"msg\":\"Unknown command: \"}\n"),
            std::string::npos);
}

TEST(Protocol, EachWayOutStopsFirstAndExitsOnceWithZero) {
  const struct {
    const char* input;
    Events events;
  } cases[] = {
      {"", {"status ready"}},
      {"STOP\n", {"status ready"}},
      {"QUIT\n", {"status ready", "status quitting"}},
      {"START\nQUIT\n",
       {"status ready", "status capture_started", "status capture_stopped", "status quitting"}},
      {"START\n", {"status ready", "status capture_started", "status capture_stopped"}},
      {"START\nSTOP", {"status ready", "status capture_started", "status capture_stopped"}},
      {"QUIT\nQUIT\nSTART\n", {"status ready", "status quitting"}},
      {"START\nSTART\nSTOP\nSTOP\n",
       {"status ready", "status capture_started", "warn Already capturing", "status capture_stopped"}},
  };
  for (const auto& c : cases) {
    const auto session = runSession(c.input);
    EXPECT_EQ(session.status, 0) << c.input;
    EXPECT_EQ(startEventsWithoutServer(session.events), c.events) << c.input;
  }
}

TEST(Protocol, QuitWhileStdinStaysOpenEndsTheProcess) {
  ChildProcess tool(withoutServer());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s));
  tool.writeStdin("quit\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  const Events events = startEventsWithoutServer(testing::events(tool.stderrText()));
  EXPECT_EQ(events,
            (Events{"status ready", "status capture_started", "status capture_stopped", "status quitting"}));
}

TEST(Protocol, ATerminatingSignalEndsTheToolAsTheEndOfInputDoes) {
  // A Windows tool under Wine: Wine turns SIGINT into the console's Ctrl-C, and has nothing for the
  // others to become.
  const bool windowsTool = testing::toolPath().ends_with("-wine");
  const std::vector<int> signals =
      windowsTool ? std::vector<int>{SIGINT} : std::vector<int>{SIGTERM, SIGINT, SIGHUP};
  for (const int number : signals) {
    SCOPED_TRACE(strsignal(number));
    ChildProcess tool(withoutServer());
    tool.writeStdin("START\n");
    ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
    tool.signal(number);
    EXPECT_EQ(tool.waitExit(20s), 0);
    EXPECT_EQ(startEventsWithoutServer(testing::events(tool.stderrText())),
              (Events{"status ready", "status capture_started", "status capture_stopped"}));
  }
  // Idle, nothing to stop: only the exit.
  ChildProcess idle(withoutServer());
  ASSERT_TRUE(idle.waitForLine(R"({"type":"status","msg":"ready"})", 20s));
  idle.signal(SIGINT);
  EXPECT_EQ(idle.waitExit(20s), 0);
  EXPECT_EQ(testing::events(idle.stderrText()), Events{"status ready"});
}

}  // namespace
}  // namespace zarvi
