#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace
}  // namespace zarvi
