#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zarvi::testing {

// The tool's binary: ZARVI_TOOL when it is set (an installed one), else the one built beside the tests.
std::string toolPath();

// The real binary as a host runs it: stdin, stdout and stderr are pipes; both outputs are drained
// by threads of their own so the child never blocks on a full pipe unless a test asks for it.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
    bool drainStdout = true;
    // Hands the child a stdin with O_NONBLOCK set, as some event-loop runtimes do.
    bool nonBlockingStdin = false;
    std::vector<std::string> arguments{};
  };

  explicit ChildProcess(Options options);
  ChildProcess() : ChildProcess(Options{}) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void writeStdin(std::string_view bytes);
  void closeStdin();
  // Closes the reading end of stdout, as a host that stops caring about the audio.
  void closeStdout();

  // Waits until the text on stderr satisfies the predicate; false on timeout.
  bool waitForStderr(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout);
  // Waits until stderr holds the given line (without its line feed), counting from the start.
  bool waitForLine(const std::string& line, std::chrono::milliseconds timeout, int occurrences = 1);
  // Waits until stdout has at least this many bytes.
  bool waitForStdout(std::size_t bytes, std::chrono::milliseconds timeout);

  // Without the drain thread: reads what stdout offers within the timeout, up to maxBytes.
  std::string readStdout(std::size_t maxBytes, std::chrono::milliseconds timeout);

  // From /proc: the peak resident memory (VmHWM), open descriptors and threads of the child.
  long peakMemoryKb();
  int openDescriptors();
  int threads();
  void signal(int number);

  std::string stderrText();
  std::vector<std::string> stderrLines();
  std::string stdoutBytes();
  std::size_t stdoutSize();
  // When the byte at this offset of stdout reached the test; nullopt when it has not (yet).
  std::optional<std::chrono::steady_clock::time_point> stdoutArrival(std::size_t offset);

  // The exit status when the child exited normally in time; nullopt otherwise.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  bool running();
  pid_t pid() const { return pid_; }

 private:
  void drain(int fd, std::string& into);

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string stdout_;
  std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> stdoutArrivals_;  // end, time
  std::string stderr_;
  std::optional<int> exitStatus_;
  std::thread stdoutReader_;
  std::thread stderrReader_;
};

}  // namespace zarvi::testing
