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

}  // namespace
}  // namespace zarvi
