#pragma once

#include <string>
#include <string_view>

namespace zarvi {

enum class EventType { status, warn, error, debug };

// The message as the body of a JSON string: quotes, backslashes and control characters escaped,
// valid UTF-8 kept as it is, each maximal invalid UTF-8 subpart replaced by U+FFFD.
std::string escapeEventMessage(std::string_view message);

// One whole event line, line feed included.
std::string formatEventLine(EventType type, std::string_view message);

// Writes the event line to standard error in one write, whole, never mixed with another line.
void emitEvent(EventType type, std::string_view message);

}  // namespace zarvi
