#include "platform/follow/followed_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zarvi::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const FollowTimings kTimings{milliseconds(40), milliseconds(20), milliseconds(80)};
const ChosenDevice kA{"a", "Device A", 48000, 2};
const ChosenDevice kB{"b", "Device B", 44100, 1};
const ChosenDevice kC{"c", "Device C", 16000, 1};

// What a look answers: a device, no device (and why), or no answer at all (and why).
Result<DeviceChoice> device(const ChosenDevice& chosen) {
  return DeviceChoice(chosen);
}
Result<DeviceChoice> none(const std::string& why) {
  return DeviceChoice(Failure{why});
}
Result<DeviceChoice> unanswered(const std::string& why) {
  return Failure{why};
}

// A start looks at the devices once more, and again after the settle delay when nothing moved. A
// script given to the side before those looks ran would be read by them instead of by the news
// that follows, so a test waits them out first.
void waitOutTheStartsOwnLooks(runtime::SerialQueue& queue) {
  const auto quiet = Clock::now() + 2 * kTimings.settle;
  while (Clock::now() < quiet) queue.sync([] {});
}

// A report as the tests compare it: "switched Device B", "lost why", "resumed Device A".
std::string describeChange(DeviceChange change, const std::string& description) {
  switch (change) {
    case DeviceChange::switched:
      return "switched " + description;
    case DeviceChange::lost:
      return "lost " + description;
    case DeviceChange::resumed:
      return "resumed " + description;
  }
  return description;
}

// A backend side that the test scripts and that records what it was asked, with when.
class FakeSide : public DeviceSide {
 public:
  struct Call {
    std::string what;
    Clock::time_point at;
  };

  // Each look takes the next answer; the last one stays.
  void answerLooks(std::deque<Result<DeviceChoice>> answers) {
    const std::lock_guard<std::mutex> hold(mutex_);
    answers_ = std::move(answers);
  }
  void failRecordingOf(const std::string& id, bool fails) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (fails) {
      failing_.insert(id);
    } else {
      failing_.erase(id);
    }
  }
  void loseConnection(const std::string& why) {
    const std::lock_guard<std::mutex> hold(mutex_);
    connectionLost_ = Failure{why};
  }
  // Runs inside the next record() call, as the recording opens.
  void whileOpening(std::function<void()> work) {
    const std::lock_guard<std::mutex> hold(mutex_);
    whileOpening_ = std::move(work);
  }
  void news() {
    std::function<void()> onNews;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      onNews = onNews_;
    }
    if (onNews) onNews();
  }
  std::shared_ptr<BlockCutter> lastCutter() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return cutter_;
  }
  std::vector<Call> calls(const std::string& prefix = "") {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::vector<Call> found;
    for (const auto& call : calls_) {
      if (call.what.starts_with(prefix)) found.push_back(call);
    }
    return found;
  }
  std::vector<std::string> records() {
    std::vector<std::string> opened;
    for (const auto& call : calls("record ")) opened.push_back(call.what.substr(7));
    return opened;
  }

  std::optional<Failure> connectionLost() override {
    const std::lock_guard<std::mutex> hold(mutex_);
    auto lost = std::move(connectionLost_);
    connectionLost_.reset();
    return lost;
  }
  Result<DeviceChoice> lookAtDevices() override {
    const std::lock_guard<std::mutex> hold(mutex_);
    note("look");
    auto answer = answers_.front();
    if (answers_.size() > 1) answers_.pop_front();
    return answer;
  }
  Result<> watch(std::function<void()> onNews) override {
    const std::lock_guard<std::mutex> hold(mutex_);
    note("watch");
    onNews_ = std::move(onNews);
    return {};
  }
  void stopWatching() override {
    const std::lock_guard<std::mutex> hold(mutex_);
    note("stop watching");
    onNews_ = nullptr;
  }
  Result<std::unique_ptr<Recording>> record(const ChosenDevice& device,
                                            std::shared_ptr<BlockCutter> cutter) override {
    std::function<void()> during;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      note("record " + device.id);
      during = std::exchange(whileOpening_, nullptr);
    }
    if (during) during();
    const std::lock_guard<std::mutex> hold(mutex_);
    if (failing_.contains(device.id)) return Failure{"cannot open " + device.id};
    cutter_ = std::move(cutter);
    return std::unique_ptr<Recording>(std::make_unique<Recording>());
  }

 private:
  void note(std::string what) { calls_.push_back({std::move(what), Clock::now()}); }

  std::mutex mutex_;
  std::deque<Result<DeviceChoice>> answers_{device(kA)};
  std::set<std::string> failing_;
  std::optional<Failure> connectionLost_;
  std::function<void()> whileOpening_;
  std::function<void()> onNews_;
  std::shared_ptr<BlockCutter> cutter_;
  std::vector<Call> calls_;
};

class FollowedSourceTest : public ::testing::Test {
 protected:
  // The source's reports, as describeChange gives them.
  std::vector<std::string> changes() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return changes_;
  }
  // Waits until there are at least count reports (or 5 s went by) and returns them.
  std::vector<std::string> waitForChanges(std::size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::seconds(5), [&] { return changes_.size() >= count; });
    return changes_;
  }
  Clock::time_point timeOfChange(std::size_t index) {
    const std::lock_guard<std::mutex> hold(mutex_);
    return changeTimes_.at(index);
  }
  // Waits until the side was asked to record count times (or 5 s went by).
  std::vector<FakeSide::Call> waitForRecords(std::size_t count) {
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (side.calls("record ").size() < count && Clock::now() < until) queue.sync([] {});
    return side.calls("record ");
  }

  FakeSide side;
  runtime::SerialQueue queue{"zarvi.test"};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> changes_;
  std::vector<Clock::time_point> changeTimes_;
  std::vector<InterleavedBlock> blocks_;  // the queue only
  FollowedSource source{queue,
                        side,
                        [](const ChosenDevice& device) {
                          return BlockShape{device.rate, device.channels, 4, 64};
                        },
                        [this](const InterleavedBlock& block) { blocks_.push_back(block); },
                        [this](DeviceChange change, const std::string& description, const ChosenDevice*) {
                          const std::lock_guard<std::mutex> hold(mutex_);
                          changes_.push_back(describeChange(change, description));
                          changeTimes_.push_back(Clock::now());
                          changed_.notify_all();
                        },
                        kTimings};
};

TEST_F(FollowedSourceTest, FollowsTheSidesChoiceAndReportsEachChangeOnce) {
  const auto gone = none("No such entity");
  const struct {
    const char* what;
    std::deque<Result<DeviceChoice>> looks;  // what the looks after the start answer, in turn
    std::vector<std::string> changes;
    std::vector<std::string> records;  // every device the side was asked to record, the start's first
  } cases[] = {
      {"the default changes: switch", {device(kB)}, {"switched Device B"}, {"a", "b"}},
      {"the device goes and none follows: settle, then lose", {gone}, {"lost No such entity"}, {"a"}},
      {"the device goes and another follows within the moment: only the switch",
       {gone, device(kB)},
       {"switched Device B"},
       {"a", "b"}},
      {"news that moved nothing: no change, the recording stays", {device(kA)}, {}, {"a"}},
      {"the side cannot be asked: no change until it answers",
       {unanswered("Timeout"), device(kA)},
       {},
       {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSide fresh;
    std::vector<std::string> reports;
    std::mutex mutex;
    std::condition_variable reported;
    FollowedSource subject(
        queue, fresh,
        [](const ChosenDevice& device) {
          return BlockShape{device.rate, device.channels, 4, 64};
        },
        [](const InterleavedBlock&) {},
        [&](DeviceChange change, const std::string& description, const ChosenDevice*) {
          const std::lock_guard<std::mutex> hold(mutex);
          reports.push_back(describeChange(change, description));
          reported.notify_all();
        },
        kTimings);
    ASSERT_TRUE(subject.start(kA));
    waitOutTheStartsOwnLooks(queue);
    fresh.answerLooks(c.looks);
    fresh.news();
    {
      // The reports expected, then a quiet while: long enough for a settle, a look after it and
      // one more look, in which nothing else may come.
      std::unique_lock<std::mutex> hold(mutex);
      reported.wait_for(hold, std::chrono::seconds(5), [&] { return reports.size() >= c.changes.size(); });
    }
    const auto quiet = Clock::now() + 4 * kTimings.settle;
    while (Clock::now() < quiet) queue.sync([] {});
    subject.stop();
    const std::lock_guard<std::mutex> hold(mutex);
    EXPECT_EQ(reports, c.changes);
    EXPECT_EQ(fresh.records(), c.records);
  }
}

TEST_F(FollowedSourceTest, ALossIsReportedOnlyAfterTheSettleDelay) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  side.answerLooks({none("No such entity")});
  const auto newsAt = Clock::now();
  side.news();
  ASSERT_EQ(waitForChanges(1), (std::vector<std::string>{"lost No such entity"}));
  EXPECT_GE(timeOfChange(0) - newsAt, kTimings.settle);
}

TEST_F(FollowedSourceTest, AFailingOpenIsTriedAgainWithADelayThatDoublesUpToItsCapThenResumes) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  side.failRecordingOf("b", true);
  side.answerLooks({device(kB)});
  side.news();
  const auto attempts = waitForRecords(1 + 7);  // a, then b seven times
  ASSERT_EQ(attempts.size(), 8U);
  EXPECT_EQ(waitForChanges(1), (std::vector<std::string>{"lost cannot open b"}));
  const milliseconds expected[] = {milliseconds(20), milliseconds(40), milliseconds(80),
                                   milliseconds(80), milliseconds(80), milliseconds(80)};
  Clock::duration atTheCap{};
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const auto gap = attempts[i + 2].at - attempts[i + 1].at;
    EXPECT_GE(gap, expected[i]) << "retry " << i + 1;
    if (i >= 2) atTheCap += gap;
  }
  // Had the delay kept doubling, these four would take 160 + 320 + 640 + 1280 ms.
  EXPECT_LT(atTheCap, milliseconds(1200));
  side.failRecordingOf("b", false);
  EXPECT_EQ(waitForChanges(2), (std::vector<std::string>{"lost cannot open b", "resumed Device B"}));
}

TEST_F(FollowedSourceTest, StopDuringARetryEndsTheRetrying) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  side.failRecordingOf("b", true);
  side.answerLooks({device(kB)});
  side.news();
  ASSERT_EQ(waitForRecords(3).size(), 3U);
  source.stop();
  const auto stoppedAt = Clock::now();
  const std::size_t attempts = side.calls("record ").size();
  while (Clock::now() < stoppedAt + 4 * kTimings.retryLongest) queue.sync([] {});
  EXPECT_EQ(side.calls("record ").size(), attempts);
  EXPECT_EQ(changes(), (std::vector<std::string>{"lost cannot open b"}));
  EXPECT_EQ(side.calls("stop watching").size(), 1U);
}

TEST_F(FollowedSourceTest, NewsDuringARecordingsOpenIsNotMissed) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  side.answerLooks({device(kB)});
  side.whileOpening([this] {
    side.answerLooks({device(kC)});
    side.news();
  });
  side.news();
  EXPECT_EQ(waitForChanges(2), (std::vector<std::string>{"switched Device B", "switched Device C"}));
  EXPECT_EQ(side.records(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(FollowedSourceTest, ALostConnectionIsReportedAtOnceAndTheSourceResumesWhenItIsBack) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  side.loseConnection("Connection terminated");
  side.answerLooks({unanswered("Connection refused"), unanswered("Connection refused"), device(kA)});
  side.news();
  EXPECT_EQ(waitForChanges(2), (std::vector<std::string>{"lost Connection terminated", "resumed Device A"}));
  EXPECT_EQ(side.records(), (std::vector<std::string>{"a", "a"}));
}

TEST_F(FollowedSourceTest, ADeadRecordingOfTheSameDeviceIsReopenedSilentlyAndItsBlocksAreCutWhole) {
  ASSERT_TRUE(source.start(kA));
  waitOutTheStartsOwnLooks(queue);
  const auto first = side.lastCutter();
  const float frames[2 * 6] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  first->write(frames, sizeof frames);
  first->handOn();
  queue.sync([] {});  // the blocks are cut before the death is told
  first->reportDeath();
  first->reportDeath();
  waitForRecords(2);
  queue.sync([] {});
  EXPECT_EQ(side.records(), (std::vector<std::string>{"a", "a"}));
  EXPECT_EQ(changes(), std::vector<std::string>{});
  queue.sync([this] {
    ASSERT_EQ(blocks_.size(), 1U) << "six frames make one block of four";
    EXPECT_EQ(blocks_[0].frames, 4U);
    EXPECT_EQ(blocks_[0].rate, 48000U);
    EXPECT_EQ(blocks_[0].channels, 2U);
  });
}

TEST_F(FollowedSourceTest, AStartThatCannotRecordSaysWhyAndFollowsAsALostSource) {
  // A device that will not open is tried again with the back-off.
  side.failRecordingOf("a", true);
  const auto started = source.start(std::nullopt);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(), "cannot open a");
  ASSERT_GE(waitForRecords(3).size(), 3U);
  side.failRecordingOf("a", false);
  EXPECT_EQ(waitForChanges(1), (std::vector<std::string>{"resumed Device A"}));
  source.stop();

  // No device, or no answer at all: the news, or the retries, bring it in.
  for (const auto& [what, look] : {std::pair{"no device", none("No such entity")},
                                   std::pair{"no answer", unanswered("Connection refused")}}) {
    SCOPED_TRACE(what);
    const auto reported = changes().size();
    side.answerLooks({look});
    const auto failed = source.start(std::nullopt);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), look ? look.value().error() : look.error());
    waitOutTheStartsOwnLooks(queue);
    side.answerLooks({device(kB)});
    side.news();
    ASSERT_EQ(waitForChanges(reported + 1).size(), reported + 1);
    EXPECT_EQ(changes().back(), "resumed Device B");
    source.stop();
  }

  // Following with no first recording at all, as a stream with nothing to start on does.
  side.answerLooks({none("No such entity")});
  source.followFromLost();
  waitOutTheStartsOwnLooks(queue);
  const auto recordsBefore = side.records().size();
  side.answerLooks({device(kC)});
  side.news();
  EXPECT_EQ(waitForChanges(4).back(), "resumed Device C");
  EXPECT_EQ(side.records().size(), recordsBefore + 1);

  // A stop ends the watching: news after it starts nothing.
  source.stop();
  side.answerLooks({device(kA)});
  side.news();
  queue.sync([] {});
  EXPECT_EQ(side.records().size(), recordsBefore + 1);
  EXPECT_EQ(changes().size(), 4U);
}

}  // namespace
}  // namespace zarvi::platform
