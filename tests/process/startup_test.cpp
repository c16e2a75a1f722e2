#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "protocol/command_line.h"
#include "support/child_process.h"

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

TEST(Startup, SaysReadyAndKeepsRunningWithStdinHeldOpen) {
  ChildProcess tool;
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"ready"})", 10s)) << tool.stderrText();
  EXPECT_FALSE(tool.waitExit(500ms).has_value()) << "the process ended on its own";
  EXPECT_EQ(tool.stderrText(), "{\"type\":\"status\",\"msg\":\"ready\"}\n");
  EXPECT_EQ(tool.stdoutSize(), 0U);
}

TEST(Startup, ANonBlockingStdinIsWaitedOnNotTakenForItsEnd) {
  ChildProcess tool({{{"PULSE_SERVER", "unix:/nonexistent/zarvi/native"}},
                     {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"},
                     true,
                     true});
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"ready"})", 10s)) << tool.stderrText();
  EXPECT_FALSE(tool.waitExit(200ms).has_value()) << "the process took an empty non-blocking read for the end";
  tool.writeStdin("START\n");
  EXPECT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_started"})", 20s)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  EXPECT_EQ(tool.waitExit(20s), 0);
  EXPECT_TRUE(tool.waitForLine(R"({"type":"status","msg":"quitting"})", 1s)) << tool.stderrText();
}

TEST(Startup, AnswersHelpAndVersionAndRefusesAnyOtherArgument) {
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string stdoutStart;  // empty: nothing on stdout
    std::string stderrStart;  // empty: nothing on stderr
  } cases[] = {
      {{"--help"}, 0, "Usage: zarvi-audio-capture [--help | --version]\n", ""},
      {{"--version"}, 0, "zarvi-audio-capture " ZARVI_VERSION "\necho canceller: ", ""},
      {{"--verbose"}, 2, "", "zarvi-audio-capture: unknown argument '--verbose'\n\nUsage: "},
      {{"START"}, 2, "", "zarvi-audio-capture: unknown argument 'START'\n\nUsage: "},
      {{"--help", "extra"}, 2, "", "zarvi-audio-capture: unknown argument 'extra'\n\nUsage: "},
      {{""}, 2, "", "zarvi-audio-capture: unknown argument ''\n\nUsage: "},
  };
  for (const auto& c : cases) {
    ChildProcess::Options options;
    options.arguments = c.arguments;
    ChildProcess tool(options);
    tool.closeStdin();
    EXPECT_EQ(tool.waitExit(10s), c.status) << c.arguments[0];
    const std::string out = tool.stdoutBytes();
    const std::string err = tool.stderrText();
    if (c.stdoutStart.empty()) {
      EXPECT_EQ(out, "") << c.arguments[0];
    } else {
      EXPECT_TRUE(out.starts_with(c.stdoutStart)) << out;
      // The version's second line names the build's canceller (or none) and ends the answer.
      if (c.arguments[0] == "--version") {
        EXPECT_EQ(out.find('\n', c.stdoutStart.size()), out.size() - 1) << out;
      }
    }
    if (c.stderrStart.empty()) {
      EXPECT_EQ(err, "") << c.arguments[0];
    } else {
      EXPECT_TRUE(err.starts_with(c.stderrStart)) << err;
      EXPECT_EQ(err.substr(err.find("Usage: ")), zarvi::usageText())
          << "the usage follows the one-line error";
    }
  }
  // The usage names what a host needs: the commands, the PCM format and the switches.
  for (const char* needed : {"START", "STOP", "QUIT", "signed 16-bit little-endian, mono, 16000",
                             "ZARVI_AUDIO_VERBOSE", "ZARVI_AUDIO_MIC_ONLY", "README"}) {
    EXPECT_NE(zarvi::usageText().find(needed), std::string::npos) << needed;
  }
}

}  // namespace
}  // namespace zarvi
