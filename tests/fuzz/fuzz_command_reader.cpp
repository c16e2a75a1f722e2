// Arbitrary stdin bytes through line splitting, trimming, upper-casing and the warning's event line:
// the commands passed on and every event line written must be exactly what the input asks for, and
// every line must be valid JSON that parses back to its message.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/command_reader.h"

namespace {

using nlohmann::json;
using zarvi::Command;

// The event lines exactly as standard error would carry them.
class EventText : public zarvi::EventSink {
 public:
  void emitEvent(zarvi::EventType type, std::string_view message) override {
    text += zarvi::formatEventLine(type, message);
  }
  std::string text;
};

// What a JSON parser makes of a message: the message with broken UTF-8 replaced by U+FFFD.
std::string asParsed(const std::string& message) {
  return json::parse(json(message).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

// The oracle's own reading of a line, independent of the reader's code: the documented blanks at both
// ends (ASCII white space, U+0085, and the Unicode space separators, line and paragraph separators),
// then ASCII letters upper-cased.
std::string utf8(char32_t c) {
  std::string text;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  return text;
}

const std::vector<std::string>& blanks() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> list;
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' ', U'\u0085', U'\u00A0', U'\u1680', U'\u2028',
                       U'\u2029', U'\u202F', U'\u205F', U'\u3000'})
      list.push_back(utf8(c));
    for (char32_t c = 0x2000; c <= 0x200A; ++c) list.push_back(utf8(c));
    return list;
  }();
  return all;
}

std::string expectedWord(std::string_view line) {
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (const auto& blank : blanks()) {
      if (line.starts_with(blank)) {
        line.remove_prefix(blank.size());
        trimmed = true;
      }
      if (line.ends_with(blank)) {
        line.remove_suffix(blank.size());
        trimmed = true;
      }
    }
  }
  std::string word;
  for (const char c : line) word += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return word;
}

constexpr std::size_t kLongestCommandLine = 65536;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 97;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  EventText events;
  std::vector<Command> commands;
  zarvi::CommandReader reader(
      -1, [&](Command command) { commands.push_back(command); }, events);
  for (std::size_t at = 0; at < input.size(); at += chunk) reader.feed(input.substr(at, chunk));
  reader.finish();

  // The same input, line by line, as the protocol defines it.
  std::vector<Command> expectedCommands;
  std::vector<std::string> expectedWarnings;
  std::string_view rest = input;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    const std::string word = expectedWord(line.substr(0, kLongestCommandLine));
    if (line.size() > kLongestCommandLine) {
      expectedWarnings.push_back(asParsed("Unknown command: " + word));
    } else if (word == "START") {
      expectedCommands.push_back(Command::start);
    } else if (word == "STOP") {
      expectedCommands.push_back(Command::stop);
    } else if (word == "QUIT") {
      expectedCommands.push_back(Command::quit);
    } else {
      expectedWarnings.push_back(asParsed("Unknown command: " + word));
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  expectedCommands.push_back(Command::endOfInput);
  check(commands == expectedCommands);

  const std::string& text = events.text;
  std::vector<std::string> warnings;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    check(end != std::string::npos);
    const auto parsed = json::parse(text.substr(at, end - at), nullptr, false);
    check(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 2);
    check(parsed.contains("type") && parsed["type"] == "warn" && parsed.contains("msg") &&
          parsed["msg"].is_string());
    warnings.push_back(parsed["msg"].get<std::string>());
    at = end + 1;
  }
  check(warnings == expectedWarnings);
  return 0;
}
