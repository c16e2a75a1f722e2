#include "protocol/events.h"

#include <array>
#include <cstdint>

#include "os/standard_streams.h"

namespace zarvi {
namespace {

std::string_view prefixOf(EventType type) {
  switch (type) {
    case EventType::status:
      return R"({"type":"status","msg":")";
    case EventType::warn:
      return R"({"type":"warn","msg":")";
    case EventType::error:
      return R"({"type":"error","msg":")";
    case EventType::debug:
      return R"({"type":"debug","msg":")";
  }
  return R"({"type":"debug","msg":")";
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at the start of text, or of its longest well-formed
// prefix (negated, at least 1) when the sequence is broken.
int measureUtf8Sequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  int length = 0;
  unsigned char secondMin = 0x80;
  unsigned char secondMax = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondMin = 0xA0;  // overlong
    if (lead == 0xED) secondMax = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondMin = 0x90;  // overlong
    if (lead == 0xF4) secondMax = 0x8F;  // beyond U+10FFFF
  } else {
    return -1;
  }
  int valid = 1;
  while (valid < length && static_cast<std::size_t>(valid) < text.size()) {
    const auto byte = static_cast<unsigned char>(text[static_cast<std::size_t>(valid)]);
    const bool fits = valid == 1 ? (byte >= secondMin && byte <= secondMax) : isContinuation(byte);
    if (!fits) break;
    ++valid;
  }
  return valid == length ? length : -valid;
}

}  // namespace

std::string escapeEventMessage(std::string_view message) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string escaped;
  escaped.reserve(message.size() + 8);
  std::size_t i = 0;
  while (i < message.size()) {
    const auto byte = static_cast<unsigned char>(message[i]);
    if (byte >= 0x80) {
      const int length = measureUtf8Sequence(message.substr(i));
      if (length > 0) {
        escaped.append(message.substr(i, static_cast<std::size_t>(length)));
        i += static_cast<std::size_t>(length);
      } else {
        escaped.append(kReplacementCharacter);
        i += static_cast<std::size_t>(-length);
      }
      continue;
    }
    switch (byte) {
      case '"':
        escaped += "\\\"";
        break;
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\b':
        escaped += "\\b";
        break;
      case '\f':
        escaped += "\\f";
        break;
      default:
        if (byte < 0x20) {
          escaped += "\\u00";
          escaped += kHex[byte >> 4];
          escaped += kHex[byte & 0xF];
        } else {
          escaped += static_cast<char>(byte);
        }
    }
    ++i;
  }
  return escaped;
}

std::string formatEventLine(EventType type, std::string_view message) {
  std::string line(prefixOf(type));
  line += escapeEventMessage(message);
  line += "\"}\n";
  return line;
}

void StandardErrorEvents::emitEvent(EventType type, std::string_view message) {
  const std::string line = formatEventLine(type, message);
  const std::lock_guard<std::mutex> hold(lineLock_);
  os::writeStandardError(line.data(), line.size());
}

}  // namespace zarvi
