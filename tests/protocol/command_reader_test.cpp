#include "protocol/command_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/captured_output.h"
#include "support/event_lines.h"

namespace zarvi {
namespace {

using testing::CapturedOutput;

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
  EXPECT_EQ(::pipe(fds), 0);
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
    CapturedOutput err(STDERR_FILENO);
    CommandReader reader(fds[0], [&](Command command) { commands.push_back(command); });
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

TEST(CommandReader, KeepsOnlyTheFirst64KiBOfALineAndGoesOnWithTheNext) {
  std::string warnings;
  const std::string longLine = "x" + std::string(300000, 'y');
  EXPECT_EQ(readAll(longLine + "\nSTART\n" + std::string(70000, ' ') + "STOP\n", &warnings),
            (std::vector<Command>{Command::start, Command::endOfInput}));
  const auto events = testing::events(warnings);
  ASSERT_EQ(events.size(), 2U);
  EXPECT_EQ(events[0], "warn Unknown command: X" + std::string(64 * 1024 - 1, 'Y'));
  // The blanks fill the kept part, so the word that follows them is gone.
  EXPECT_EQ(events[1], "warn Unknown command: ");
}

TEST(CommandReader, AStartPaddedWithinTheKeptPartStillCounts) {
  EXPECT_EQ(readAll("START" + std::string(100000, ' ') + "\n"),
            (std::vector<Command>{Command::start, Command::endOfInput}));
}

}  // namespace
}  // namespace zarvi
