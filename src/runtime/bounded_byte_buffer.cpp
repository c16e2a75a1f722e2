#include "runtime/bounded_byte_buffer.h"

#include <algorithm>
#include <cstring>

namespace zarvi::runtime {

BoundedByteBuffer::BoundedByteBuffer(std::size_t capacity, std::size_t unit)
    : storage_(std::max<std::size_t>(capacity / std::max<std::size_t>(unit, 1), 1) *
               std::max<std::size_t>(unit, 1)),
      unit_(std::max<std::size_t>(unit, 1)) {}

void BoundedByteBuffer::makeRoom(std::size_t size) {
  const std::size_t free = storage_.size() - size_;
  if (size <= free) return;
  std::size_t drop = ((size - free + unit_ - 1) / unit_) * unit_;
  drop = std::min(drop, size_);
  head_ = (head_ + drop) % storage_.size();
  size_ -= drop;
  dropped_ += drop;
}

void BoundedByteBuffer::append(const void* data, std::size_t size) {
  const std::size_t tail = (head_ + size_) % storage_.size();
  const std::size_t first = std::min(size, storage_.size() - tail);
  if (data != nullptr) {
    std::memcpy(storage_.data() + tail, data, first);
    std::memcpy(storage_.data(), static_cast<const unsigned char*>(data) + first, size - first);
  } else {
    std::memset(storage_.data() + tail, 0, first);
    std::memset(storage_.data(), 0, size - first);
  }
  size_ += size;
}

void BoundedByteBuffer::write(const void* data, std::size_t size) {
  const std::lock_guard<std::mutex> hold(mutex_);
  // More than the whole capacity at once: only its newest part can stay.
  if (size > storage_.size()) {
    const std::size_t skip = size - storage_.size();
    dropped_ += skip + size_;
    head_ = 0;
    size_ = 0;
    if (data != nullptr) data = static_cast<const unsigned char*>(data) + skip;
    size = storage_.size();
  }
  makeRoom(size);
  append(data, size);
}

void BoundedByteBuffer::writeSilence(std::size_t size) {
  write(nullptr, size);
}

bool BoundedByteBuffer::read(void* into, std::size_t size) {
  const std::lock_guard<std::mutex> hold(mutex_);
  if (size_ < size) return false;
  const std::size_t first = std::min(size, storage_.size() - head_);
  std::memcpy(into, storage_.data() + head_, first);
  std::memcpy(static_cast<unsigned char*>(into) + first, storage_.data(), size - first);
  head_ = (head_ + size) % storage_.size();
  size_ -= size;
  return true;
}

std::size_t BoundedByteBuffer::size() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return size_;
}

std::size_t BoundedByteBuffer::droppedBytes() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return dropped_;
}

}  // namespace zarvi::runtime
