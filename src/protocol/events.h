#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace zarvi {

enum class EventType { status, warn, error, debug };

// The message as the body of a JSON string: quotes, backslashes and control characters escaped,
// valid UTF-8 kept as it is, each maximal invalid UTF-8 subpart replaced by U+FFFD.
std::string escapeEventMessage(std::string_view message);

// One whole event line, line feed included.
std::string formatEventLine(EventType type, std::string_view message);

// Where the event lines go. Callable from any thread at any time; each line arrives whole, in the
// order of the calls on any one thread.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void emitEvent(EventType type, std::string_view message) = 0;
};

// The protocol's own sink: standard error, one write per line, whole, never mixed with another line.
class StandardErrorEvents : public EventSink {
 public:
  void emitEvent(EventType type, std::string_view message) override;

 private:
  // Lines from several threads may be longer than the pipe's atomic write size; the lock keeps each
  // one whole. It is never writeLock, so a stalled PCM reader never holds up an event.
  std::mutex lineLock_;
};

}  // namespace zarvi
