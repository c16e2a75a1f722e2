#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "runtime/bounded_byte_buffer.h"
#include "runtime/serial_queue.h"
#include "support/os.h"

namespace zarvi {
namespace {

TEST(BoundedByteBuffer, GivesBackBytesInOrderAndDropsTheOldestWholeUnits) {
  runtime::BoundedByteBuffer buffer(16, 4);
  std::vector<unsigned char> bytes(40);
  std::iota(bytes.begin(), bytes.end(), 0);
  buffer.write(bytes.data(), 12);
  std::vector<unsigned char> out(8);
  ASSERT_TRUE(buffer.read(out.data(), 8));
  EXPECT_EQ(out, (std::vector<unsigned char>{0, 1, 2, 3, 4, 5, 6, 7}));
  buffer.write(bytes.data() + 12, 12);  // wraps around the end of the storage
  EXPECT_EQ(buffer.size(), 16U);
  buffer.write(bytes.data() + 24, 6);  // two units give way, never a part of one
  EXPECT_EQ(buffer.droppedBytes(), 8U);
  EXPECT_EQ(buffer.size(), 14U);
  std::vector<unsigned char> rest(14);
  ASSERT_TRUE(buffer.read(rest.data(), 14));
  EXPECT_EQ(rest, (std::vector<unsigned char>{16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29}));
  EXPECT_FALSE(buffer.read(rest.data(), 1));

  buffer.writeSilence(4);
  buffer.write(bytes.data(), 40);  // more than fits: only the newest 16 stay
  std::vector<unsigned char> newest(16);
  ASSERT_TRUE(buffer.read(newest.data(), 16));
  EXPECT_EQ(newest[0], 24);
  EXPECT_EQ(newest[15], 39);
}

TEST(SerialQueue, RunsWorkInOrderOnOneNamedThread) {
  runtime::SerialQueue queue("zarvi.sck.audio");
  std::vector<int> order;
  std::string name;
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  queue.sync([&] {
    name = testing::currentThreadName();
    EXPECT_TRUE(queue.isCurrent());
  });
  EXPECT_FALSE(queue.isCurrent());
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  EXPECT_EQ(name, "zarvi.sck.audio");
}

TEST(SerialQueue, DelayedWorkWaitsForItsTimeWithoutHoldingUpOtherWork) {
  using Clock = std::chrono::steady_clock;
  std::vector<int> order;
  Clock::time_point ranAt;
  const auto queuedAt = Clock::now();
  {
    runtime::SerialQueue queue("zarvi.test");
    std::promise<void> delayedRan;
    queue.asyncAfter(std::chrono::milliseconds(300), [&] { order.push_back(3); });
    queue.asyncAfter(std::chrono::milliseconds(50), [&] {
      ranAt = Clock::now();
      order.push_back(2);
      delayedRan.set_value();
    });
    queue.async([&] { order.push_back(1); });
    delayedRan.get_future().wait();
    queue.asyncAfter(std::chrono::hours(1), [&] { order.push_back(4); });
  }  // the one still waiting for its time is dropped; the destructor does not wait for it
  EXPECT_GE(ranAt - queuedAt, std::chrono::milliseconds(50));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace zarvi
