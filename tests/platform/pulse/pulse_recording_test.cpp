#include "platform/pulse/pulse_recording.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "runtime/serial_queue.h"
#include "support/private_pulse_server.h"

namespace zarvi {
namespace {

// A stream that fails while it is still connecting is the open's failure and nothing else: its
// failure handler, which reports a stream that died mid-run, must never run for it. The race between
// the server's state change and the open's own check is narrow, so it is tried many times.
TEST(PulseRecording, AStreamThatFailsWhileConnectingIsOnlyTheOpensFailure) {
  testing::PrivatePulseServer server;
  ::setenv("PULSE_SERVER", server.address().c_str(), 1);
  const auto context = pulse::PulseContext::connect("pulse-test", pulse::deadlineFromNow());
  ASSERT_TRUE(context) << context.error();
  runtime::SerialQueue queue("zarvi.test");
  const platform::BlockShape shape{48000, 2, 480, 48000};

  std::atomic<int> failuresReported{0};
  int opensFailed = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    auto cutter = std::make_shared<platform::BlockCutter>(
        shape, queue, [](const platform::InterleavedBlock&) {}, [&] { ++failuresReported; });
    auto recording =
        pulse::PulseRecording::open(context.value(), "no-such-source", cutter, pulse::deadlineFromNow());
    if (!recording && !recording.error().empty()) ++opensFailed;
    queue.sync([] {});  // whatever the recording left on its queue has run
  }
  EXPECT_EQ(opensFailed, 1000);
  EXPECT_EQ(failuresReported, 0);
  ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace zarvi
