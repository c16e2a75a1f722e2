#include "support/recorded_output.h"

namespace zarvi::testing {

std::string RecordedBytes::contents() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return bytes_;
}

std::size_t RecordedBytes::size() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return bytes_.size();
}

void RecordedBytes::append(std::string_view bytes) {
  const std::lock_guard<std::mutex> hold(mutex_);
  bytes_.append(bytes);
}

}  // namespace zarvi::testing
