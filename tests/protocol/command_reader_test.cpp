#include "protocol/command_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/event_lines.h"
#include "support/os.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

TEST(CommandWord, TrimsWhiteSpaceOfAnyKindAndUpperCasesAscii) {
  const struct {
    std::string line;
    std::string word;
  } cases[] = {
      {"start", "START"},
      {"Start", "START"},
      {"  START  \r", "START"},
      {"\t\v\fstop\n", "STOP"},
      {"\xC2\xA0quit\xE3\x80\x80", "QUIT"},                // no-break space, ideographic space
      {"\xE2\x80\xA8START\xC2\x85\xE2\x80\x8A", "START"},  // line separator, next line, hair space
      {"START NOW", "START NOW"},
      {"begin", "BEGIN"},
      {"", ""},
      {" \t ", ""},
      {"a\"b", "A\"B"},
      {"caf\xC3\xA9", "CAF\xC3\xA9"},
      {"\xE2\x80\x8B"
       "START",
       "\xE2\x80\x8B"
       "START"},  // a zero-width space is no white space
  };
  for (const auto& c : cases) EXPECT_EQ(commandWord(c.line), c.word) << c.line;
}

// Feeds the bytes to a reader through a pipe and returns the commands it passed on.
std::vector<Command> readAll(const std::string& input, std::string* warnings = nullptr) {
  int fds[2];
  EXPECT_EQ(testing::makePipe(fds), 0);
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  std::vector<Command> commands;
  {
    testing::RecordedEvents err;
    CommandReader reader(
        fds[0], [&](Command command) { commands.push_back(command); }, err);
    reader.run();
    if (warnings != nullptr) *warnings = err.contents();
  }
  writer.join();
  ::close(fds[0]);
  return commands;
}

TEST(CommandReader, PassesOnCommandsInOrderAndWarnsAboutTheRest) {
  using enum Command;
  std::string warnings;
  EXPECT_EQ(readAll("start\r\nSTOP\n\n  \t\nbegin\na\"b\nSTART NOW\nquit\nSTOP", &warnings),
            (std::vector<Command>{start, stop, quit, stop, endOfInput}));
  EXPECT_EQ(warnings,
            "{\"type\":\"warn\",\"msg\":\"Unknown command: \"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: \"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: BEGIN\"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: A\\\"B\"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: START NOW\"}\n");
}

TEST(CommandReader, EmptyInputIsJustItsEnd) {
  EXPECT_EQ(readAll(""), std::vector<Command>{Command::endOfInput});
}

// Long lines built by appending: GCC 12 at -O3 warns falsely (-Wrestrict, its bug 105329) where a
// literal and a std::string are joined with operator+.
std::string joined(std::initializer_list<std::string_view> parts) {
  std::string line;
  for (const auto part : parts) line.append(part);
  return line;
}

TEST(CommandReader, ALineOver64KiBIsNeverACommandAndTheNextLineStillIs) {
  using enum Command;
  constexpr std::size_t limit = 64 * 1024;
  const struct {
    std::string line;
    bool isStart;
    std::string warning;  // the event after "warn ", when the line is no command
  } cases[] = {
      {joined({"x", std::string(300000, 'y')}), false,
       joined({"Unknown command: X", std::string(limit - 1, 'Y')})},
      {joined({"START", std::string(limit - 5, ' ')}), true,
       ""},  // exactly 64 KiB: still a line like any other
      {joined({"START", std::string(limit - 4, ' ')}), false, "Unknown command: START"},
      {joined({"START", std::string(limit - 5, ' '), "X"}), false, "Unknown command: START"},
      {joined({"START", std::string(100000, ' ')}), false, "Unknown command: START"},
      {joined({std::string(70000, ' '), "STOP"}), false, "Unknown command: "},
      {joined({" quit", std::string(limit, '\t')}), false, "Unknown command: QUIT"},
  };
  for (const auto& c : cases) {
    std::string warnings;
    const auto commands = readAll(joined({c.line, "\nSTART\n"}), &warnings);
    const std::vector<Command> expected =
        c.isStart ? std::vector<Command>{start, start, endOfInput} : std::vector<Command>{start, endOfInput};
    EXPECT_EQ(commands, expected) << c.line.substr(0, 10) << "... of " << c.line.size() << " bytes";
    const auto events = testing::events(warnings);
    const std::vector<std::string> expectedEvents =
        c.isStart ? std::vector<std::string>{} : std::vector<std::string>{joined({"warn ", c.warning})};
    EXPECT_EQ(events, expectedEvents) << c.line.substr(0, 10) << "... of " << c.line.size() << " bytes";
  }
}

}  // namespace
}  // namespace zarvi
