#include "platform/pulse/pulse_recorder.h"

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
TEST(PulseRecorder, AStreamThatFailsWhileConnectingIsOnlyTheOpensFailure) {
  testing::PrivatePulseServer server;
  ::setenv("PULSE_SERVER", server.address().c_str(), 1);
  std::string error;
  const auto context = pulse::PulseContext::connect("pulse-test", pulse::deadlineFromNow(), error);
  ASSERT_NE(context, nullptr) << error;
  runtime::SerialQueue queue("zarvi.test");
  const pulse::PulseRecorder::Request request{"no-such-source", {PA_SAMPLE_FLOAT32NE, 48000, 2}, 480, 48000};

  std::atomic<int> failuresReported{0};
  int opensFailed = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string openError;
    auto recorder = pulse::PulseRecorder::open(
        context, request, queue, [](const float*, std::size_t) {}, [&] { ++failuresReported; },
        pulse::deadlineFromNow(), openError);
    if (recorder == nullptr && !openError.empty()) ++opensFailed;
    recorder.reset();
    queue.sync([] {});  // whatever the recorder left on its queue has run
  }
  EXPECT_EQ(opensFailed, 1000);
  EXPECT_EQ(failuresReported, 0);
  ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace zarvi
