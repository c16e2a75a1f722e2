#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zarvi::runtime {

// A labelled serial executor: one named worker thread runs the submitted work one item at a time, in
// the order submitted. The destructor runs what is queued, drops what waits for its time, then joins
// the thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);
  // Queues work once the delay has passed; the thread sleeps until then unless other work comes.
  void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> work);
  // Runs work on the queue and waits for it; never call it from the queue's own thread.
  void sync(const std::function<void()>& work);
  bool isCurrent() const;

 private:
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> delayed_;
  bool closing_ = false;
  std::thread worker_;
};

}  // namespace zarvi::runtime
