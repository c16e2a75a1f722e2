#include "platform/follow/block_cutter.h"

namespace zarvi::platform {

BlockCutter::BlockCutter(const BlockShape& shape, runtime::SerialQueue& queue, BlockHandler onBlock,
                         std::function<void()> onDied)
    : shape_(shape),
      buffer_(shape.bufferedFrames * frameBytes(), frameBytes()),
      queue_(queue),
      onBlock_(std::move(onBlock)),
      onDied_(std::move(onDied)),
      scratch_(shape.blockFrames * shape.channels) {}

void BlockCutter::handOn() {
  if (cutScheduled_.exchange(true)) return;
  queue_.async([keep = shared_from_this()] { keep->cutBlocks(); });
}

void BlockCutter::cutBlocks() {
  cutScheduled_ = false;
  while (!stopped_ && buffer_.read(scratch_.data(), shape_.blockFrames * frameBytes()))
    onBlock_({scratch_.data(), shape_.blockFrames, shape_.rate, shape_.channels});
}

void BlockCutter::reportDeath() {
  if (stopped_ || died_.exchange(true)) return;
  queue_.async([keep = shared_from_this()] {
    if (!keep->stopped_) keep->onDied_();
  });
}

void BlockCutter::stop() {
  stopped_ = true;
  // Work already queued sees the stop; work already running is waited for.
  if (!queue_.isCurrent()) queue_.sync([] {});
}

}  // namespace zarvi::platform
