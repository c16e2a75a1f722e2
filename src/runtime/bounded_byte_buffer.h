#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace zarvi::runtime {

// A byte FIFO of fixed capacity between a producer that must never wait (the sound server's thread)
// and a consumer that cuts fixed blocks. When full, the oldest bytes give way, in whole units (frames)
// so that the audio stays aligned.
class BoundedByteBuffer {
 public:
  BoundedByteBuffer(std::size_t capacity, std::size_t unit);

  void write(const void* data, std::size_t size);
  void writeSilence(std::size_t size);
  // Copies exactly size bytes out and removes them; false (and nothing removed) when fewer wait.
  bool read(void* into, std::size_t size);
  std::size_t size() const;
  std::size_t droppedBytes() const;

 private:
  void makeRoom(std::size_t size);  // with mutex_ held
  void append(const void* data, std::size_t size);

  mutable std::mutex mutex_;
  std::vector<unsigned char> storage_;
  std::size_t unit_;
  std::size_t head_ = 0;  // index of the oldest byte
  std::size_t size_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace zarvi::runtime
