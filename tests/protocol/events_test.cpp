#include "protocol/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/captured_output.h"
#include "support/os.h"

namespace zarvi {
namespace {

using nlohmann::json;
using testing::CapturedOutput;

TEST(EmitEvent, WritesTheExactLineForEachTypeToStandardError) {
  CapturedOutput err(STDERR_FILENO);
  StandardErrorEvents events;
  events.emitEvent(EventType::status, "ready");
  events.emitEvent(EventType::warn, "Unknown command: A\"B");
  events.emitEvent(EventType::error, "Mic start failed: x");
  events.emitEvent(EventType::debug, "mix#1");
  events.emitEvent(EventType::warn, "Unknown command: ");
  EXPECT_EQ(err.contents(),
            "{\"type\":\"status\",\"msg\":\"ready\"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: A\\\"B\"}\n"
            "{\"type\":\"error\",\"msg\":\"Mic start failed: x\"}\n"
            "{\"type\":\"debug\",\"msg\":\"mix#1\"}\n"
            "{\"type\":\"warn\",\"msg\":\"Unknown command: \"}\n");
}

TEST(EscapeEventMessage, EscapesWhatJsonRequiresAndRepairsBrokenUtf8) {
  const struct {
    std::string message;
    std::string escaped;
  } cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"back\\slash", "back\\\\slash"},
      {"line\nfeed\r\t\b\f", "line\\nfeed\\r\\t\\b\\f"},
      {std::string("nul\0x\x1f\x7f", 7), "nul\\u0000x\\u001f\x7f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA4", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA4"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xE2\x82"
       "A",
       "\xEF\xBF\xBD"
       "A"},                                                                     // truncated, then ASCII
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"end\xF0\x9F\x8E", "end\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeEventMessage(c.message), c.escaped) << c.message;
}

// What a JSON parser makes of the message: the message itself with broken UTF-8 replaced.
std::string expectedMessage(const std::string& message) {
  return json::parse(json(message).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

TEST(FormatEventLine, EveryLineParsesBackToItsMessageForAnyBytes) {
  std::mt19937 random(20261209);
  const std::string interesting =
      std::string("\"\\\n\r\t\x01\x1f\x7f\0", 9) + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4\xFF\xC0\xED\xA0\x80";
  for (int round = 0; round < 5000; ++round) {
    std::string message(random() % 40, '\0');
    for (char& byte : message) {
      byte =
          random() % 2 == 0 ? interesting[random() % interesting.size()] : static_cast<char>(random() % 256);
    }
    const std::string line = formatEventLine(EventType::warn, message);
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "a line feed inside the line";
    json parsed;
    ASSERT_NO_THROW(parsed = json::parse(line)) << line;
    ASSERT_EQ(parsed.size(), 2U);
    EXPECT_EQ(parsed.at("type"), "warn");
    EXPECT_EQ(parsed.at("msg").get<std::string>(), expectedMessage(message)) << line;
  }
}

// Standard error as a host's pipe that is read slowly: a line longer than the pipe's buffer goes out
// in several writes, and another thread's write could land between them.
class SlowlyReadStandardError {
 public:
  SlowlyReadStandardError() {
    int fds[2];
    if (testing::makePipe(fds) != 0) throw std::runtime_error("pipe failed");
    savedFd_ = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] {
      char chunk[4096];
      for (ssize_t got; (got = ::read(readFd_, chunk, sizeof chunk)) > 0;) {
        text_.append(chunk, static_cast<std::size_t>(got));
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // a host busy with other work
      }
    });
  }
  // Restores standard error and returns everything that was written to the pipe.
  std::string finish() {
    ::dup2(savedFd_, STDERR_FILENO);
    ::close(savedFd_);
    reader_.join();
    ::close(readFd_);
    return text_;
  }

 private:
  int savedFd_ = -1;
  int readFd_ = -1;
  std::string text_;
  std::thread reader_;
};

TEST(EmitEvent, LinesLongerThanThePipeBufferNeverMix) {
  const std::string expectedLines[] = {formatEventLine(EventType::debug, std::string(100000, 'a')),
                                       formatEventLine(EventType::debug, std::string(100000, 'b')),
                                       formatEventLine(EventType::debug, std::string(100000, 'c')),
                                       formatEventLine(EventType::debug, std::string(100000, 'd'))};
  SlowlyReadStandardError err;
  StandardErrorEvents events;
  std::vector<std::thread> threads;
  for (char letter = 'a'; letter <= 'd'; ++letter) {
    threads.emplace_back([letter, &events] {
      for (int i = 0; i < 20; ++i) events.emitEvent(EventType::debug, std::string(100000, letter));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = err.finish();
  const std::size_t lineSize = expectedLines[0].size();
  ASSERT_EQ(text.size(), lineSize * 80);
  for (std::size_t at = 0; at < text.size(); at += lineSize) {
    const std::string_view line(text.data() + at, lineSize);
    ASSERT_TRUE(std::find(std::begin(expectedLines), std::end(expectedLines), line) !=
                std::end(expectedLines))
        << "the line at byte " << at << " is mixed with another one";
  }
}

}  // namespace
}  // namespace zarvi
