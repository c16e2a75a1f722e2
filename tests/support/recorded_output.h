#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/events.h"
#include "protocol/pcm_writer.h"

namespace zarvi::testing {

// The exact bytes a sink was given, from any thread, in order.
class RecordedBytes {
 public:
  std::string contents() const;
  std::size_t size() const;

 protected:
  void append(std::string_view bytes);

 private:
  mutable std::mutex mutex_;
  std::string bytes_;
};

// Event lines as standard error would carry them.
class RecordedEvents : public EventSink, public RecordedBytes {
 public:
  void emitEvent(EventType type, std::string_view message) override {
    append(formatEventLine(type, message));
  }
};

// PCM as standard output would carry it.
class RecordedPcm : public PcmWriter, public RecordedBytes {
 public:
  void writePcm(std::string_view bytes) override { append(bytes); }
};

// What a recorded sink got from the moment this object was made.
class OutputSince {
 public:
  explicit OutputSince(const RecordedBytes& output) : output_(output), start_(output.size()) {}
  std::string contents() const { return output_.contents().substr(start_); }

 private:
  const RecordedBytes& output_;
  std::size_t start_;
};

}  // namespace zarvi::testing
