#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "protocol/events.h"

namespace zarvi {

enum class Command { start, stop, quit, endOfInput };

// A line as a command word: white space (Unicode separators included) trimmed at both ends, ASCII
// letters upper-cased. Other characters stay as they are.
std::string commandWord(std::string_view line);

// Reads command lines from fd until its end. Recognised commands and the end of input go to
// onCommand, which must not block; every other line gives an "Unknown command" warning. A line is
// kept up to maxLineBytes; the rest of a longer line is read and dropped, and such a line is never a
// command: its warning names the kept part, trimmed and upper-cased.
class CommandReader {
 public:
  static constexpr std::size_t maxLineBytes = 64 * 1024;

  // The events must outlive the reader.
  CommandReader(int fd, std::function<void(Command)> onCommand, EventSink& events);
  // Reads until the end of input, then passes on Command::endOfInput.
  void run();

  // The same work on bytes at hand: feed them as they come, then finish at the end of input.
  void feed(std::string_view bytes);
  void finish();

 private:
  void handleLine();

  int fd;
  std::function<void(Command)> onCommand;
  EventSink& events;
  std::string line;
  bool lineOpen = false;  // bytes of an unfinished line have been read
  bool lineTooLong = false;
};

}  // namespace zarvi
