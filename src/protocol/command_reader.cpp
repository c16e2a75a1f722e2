#include "protocol/command_reader.h"

#include <array>

#include "os/standard_streams.h"
#include "protocol/events.h"

namespace zarvi {
namespace {

// The UTF-8 encodings of the white space and line-break characters beyond ASCII: U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || (c >= '\n' && c <= '\r');
}

// Bytes of white space at the start (or the end) of text; 0 when there is none.
template <bool atEnd>
std::size_t spaceAt(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiSpace(atEnd ? text.back() : text.front())) return 1;
  for (const auto space : kWideSpaces) {
    if (atEnd ? text.ends_with(space) : text.starts_with(space)) return space.size();
  }
  return 0;
}

}  // namespace

std::string commandWord(std::string_view line) {
  for (std::size_t n; (n = spaceAt<false>(line)) > 0;) line.remove_prefix(n);
  for (std::size_t n; (n = spaceAt<true>(line)) > 0;) line.remove_suffix(n);
  std::string word(line);
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return word;
}

CommandReader::CommandReader(int fd, std::function<void(Command)> onCommand, EventSink& events)
    : fd(fd), onCommand(std::move(onCommand)), events(events) {}

void CommandReader::run() {
  std::array<char, 64 * 1024> buffer;
  for (std::size_t got; (got = os::readSome(fd, buffer.data(), buffer.size())) > 0;) {
    feed({buffer.data(), got});
  }
  finish();
}

void CommandReader::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    // Until a line grows past the limit, line holds all of it; after that it stays too long.
    if (line.size() + piece.size() > maxLineBytes) lineTooLong = true;
    line.append(piece.substr(0, maxLineBytes - line.size()));
    lineOpen = true;
    if (end == std::string_view::npos) return;
    handleLine();
    bytes.remove_prefix(end + 1);
  }
}

void CommandReader::finish() {
  if (lineOpen) handleLine();
  onCommand(Command::endOfInput);
}

void CommandReader::handleLine() {
  const std::string word = commandWord(line);
  const bool tooLong = lineTooLong;
  line.clear();
  lineOpen = false;
  lineTooLong = false;
  if (tooLong) {
    // Only its first part was kept, so what the whole line says is unknown: never a command.
    events.emitEvent(EventType::warn, "Unknown command: " + word);
  } else if (word == "START") {
    onCommand(Command::start);
  } else if (word == "STOP") {
    onCommand(Command::stop);
  } else if (word == "QUIT") {
    onCommand(Command::quit);
  } else {
    events.emitEvent(EventType::warn, "Unknown command: " + word);
  }
}

}  // namespace zarvi
