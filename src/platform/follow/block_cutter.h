#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "runtime/bounded_byte_buffer.h"
#include "runtime/serial_queue.h"

namespace zarvi::platform {

// How a recording's audio is cut: interleaved 32-bit float frames at the rate and channel count of the
// device, handed on in blocks of blockFrames, with at most bufferedFrames waiting for the queue.
struct BlockShape {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::size_t blockFrames = 0;
  std::size_t bufferedFrames = 0;
};

// One block as it is handed on; the samples are valid for the call only.
struct InterleavedBlock {
  const float* samples = nullptr;
  std::size_t frames = 0;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};

using BlockHandler = std::function<void(const InterleavedBlock&)>;

// Between a recording's own thread, which must never wait (a sound server's, a capture thread), and the
// source's serial queue. The recording writes what arrives into a bounded buffer, where the oldest
// whole frames give way when it is full; whole blocks are cut and handed on by work on the queue. When
// the recording dies, that is reported once, on the queue. Always held by a shared_ptr.
class BlockCutter : public std::enable_shared_from_this<BlockCutter> {
 public:
  BlockCutter(const BlockShape& shape, runtime::SerialQueue& queue, BlockHandler onBlock,
              std::function<void()> onDied);

  const BlockShape& shape() const { return shape_; }
  std::size_t frameBytes() const { return 4U * shape_.channels; }

  // The recording's thread.
  void write(const void* bytes, std::size_t size) { buffer_.write(bytes, size); }
  void writeSilence(std::size_t size) { buffer_.writeSilence(size); }  // a hole in the recording
  // After writing: the whole blocks that wait are cut on the queue; at most one such work waits there.
  void handOn();
  // The recording died and nothing more will come from it; told once, on the queue.
  void reportDeath();

  // Any thread: whether the recording died.
  bool died() const { return died_; }
  // Any thread: nothing is handed on any more. Off the queue it also waits for work already running
  // there.
  void stop();

 private:
  void cutBlocks();  // on the queue

  const BlockShape shape_;
  runtime::BoundedByteBuffer buffer_;
  runtime::SerialQueue& queue_;
  const BlockHandler onBlock_;
  const std::function<void()> onDied_;
  std::vector<float> scratch_;  // the queue only
  std::atomic<bool> stopped_{false};
  std::atomic<bool> cutScheduled_{false};
  std::atomic<bool> died_{false};
};

}  // namespace zarvi::platform
