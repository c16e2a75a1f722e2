#include "runtime/serial_queue.h"

#include <future>

#include "os/thread_name.h"

namespace zarvi::runtime {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    pending_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> work) {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    delayed_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
  std::promise<void> done;
  async([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

bool SerialQueue::isCurrent() const {
  return std::this_thread::get_id() == worker_.get_id();
}

void SerialQueue::run() {
  os::nameCurrentThread(label_);
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    // Delayed work whose time has come joins the queue behind what is already there.
    const auto now = std::chrono::steady_clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      pending_.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
    if (pending_.empty()) {
      if (closing_) return;
      if (delayed_.empty()) {
        wake_.wait(hold);
      } else {
        wake_.wait_until(hold, delayed_.begin()->first);
      }
      continue;
    }
    auto work = std::move(pending_.front());
    pending_.pop_front();
    hold.unlock();
    work();
    hold.lock();
  }
}

}  // namespace zarvi::runtime
