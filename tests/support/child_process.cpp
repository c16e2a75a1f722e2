#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zarvi::testing {

std::string toolPath() {
  const char* installed = std::getenv("ZARVI_TOOL");
  return installed != nullptr && *installed != '\0' ? installed : ZARVI_TOOL_PATH;
}

namespace {
void makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}
}  // namespace

ChildProcess::ChildProcess(Options options) {
  int in[2];
  int out[2];
  int err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);
  if (options.nonBlockingStdin) ::fcntl(in[0], F_SETFL, ::fcntl(in[0], F_GETFL) | O_NONBLOCK);
  ::signal(SIGPIPE, SIG_IGN);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const auto& name : options.unsetEnv) ::unsetenv(name.c_str());
    for (const auto& [name, value] : options.setEnv) ::setenv(name.c_str(), value.c_str(), 1);
    ::signal(SIGPIPE, SIG_DFL);
    const std::string path = toolPath();
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& argument : options.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (options.drainStdout) stdoutReader_ = std::thread([this] { drain(stdoutFd_, stdout_); });
  stderrReader_ = std::thread([this] { drain(stderrFd_, stderr_); });
}

ChildProcess::~ChildProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(10));
  }
  closeStdin();
  if (stdoutReader_.joinable()) stdoutReader_.join();
  if (stderrReader_.joinable()) stderrReader_.join();
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
  if (stderrFd_ >= 0) ::close(stderrFd_);
}

void ChildProcess::drain(int fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> hold(mutex_);
    into.append(buffer, static_cast<std::size_t>(got));
    if (&into == &stdout_) stdoutArrivals_.emplace_back(into.size(), now);
    changed_.notify_all();
  }
}

void ChildProcess::writeStdin(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(stdinFd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw std::runtime_error("write to the child's stdin failed");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ChildProcess::closeStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

void ChildProcess::closeStdout() {
  // Without a drain thread the test owns the read end; with one, the thread would read it.
  if (!stdoutReader_.joinable() && stdoutFd_ >= 0) {
    ::close(stdoutFd_);
    stdoutFd_ = -1;
  }
}

bool ChildProcess::waitForStderr(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, timeout, [&] { return done(stderr_); });
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds timeout, int occurrences) {
  const std::string needle = line + "\n";
  return waitForStderr(
      [&](const std::string& text) {
        int found = 0;
        std::size_t at = 0;
        while (true) {
          at = text.find(needle, at);
          if (at == std::string::npos) return false;
          if (at == 0 || text[at - 1] == '\n') {
            if (++found >= occurrences) return true;
          }
          at += needle.size();
        }
      },
      timeout);
}

bool ChildProcess::waitForStdout(std::size_t bytes, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, timeout, [&] { return stdout_.size() >= bytes; });
}

std::string ChildProcess::readStdout(std::size_t maxBytes, std::chrono::milliseconds timeout) {
  std::string bytes;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (bytes.size() < maxBytes) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd readable{stdoutFd_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[65536];
    const ssize_t got = ::read(stdoutFd_, buffer, std::min(sizeof buffer, maxBytes - bytes.size()));
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

long ChildProcess::peakMemoryKb() {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

int ChildProcess::openDescriptors() {
  const std::filesystem::path fds("/proc/" + std::to_string(pid_) + "/fd");
  return static_cast<int>(
      std::distance(std::filesystem::directory_iterator(fds), std::filesystem::directory_iterator()));
}

int ChildProcess::threads() {
  const std::filesystem::path tasks("/proc/" + std::to_string(pid_) + "/task");
  return static_cast<int>(
      std::distance(std::filesystem::directory_iterator(tasks), std::filesystem::directory_iterator()));
}

void ChildProcess::signal(int number) {
  ::kill(pid_, number);
}

std::string ChildProcess::stderrText() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return stderr_;
}

std::vector<std::string> ChildProcess::stderrLines() {
  std::vector<std::string> lines;
  std::istringstream text(stderrText());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::string ChildProcess::stdoutBytes() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return stdout_;
}

std::size_t ChildProcess::stdoutSize() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return stdout_.size();
}

std::optional<std::chrono::steady_clock::time_point> ChildProcess::stdoutArrival(std::size_t offset) {
  const std::lock_guard<std::mutex> hold(mutex_);
  const auto read = std::upper_bound(stdoutArrivals_.begin(), stdoutArrivals_.end(), offset,
                                     [](std::size_t at, const auto& arrival) { return at < arrival.first; });
  if (read == stdoutArrivals_.end()) return std::nullopt;
  return read->second;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  // A pidfd becomes readable when the child ends, so the wait needs no polling loop.
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidFd >= 0) {
    pollfd ended{pidFd, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&ended, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    ::close(pidFd);
    if (ready == 0) return std::nullopt;
  }
  int status = 0;
  if (::waitpid(pid_, &status, pidFd >= 0 ? 0 : WNOHANG) != pid_) return std::nullopt;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // What the child wrote before it ended may still be in the pipes: read it all before answering.
  if (stdoutReader_.joinable()) stdoutReader_.join();
  if (stderrReader_.joinable()) stderrReader_.join();
  return exitStatus_;
}

bool ChildProcess::running() {
  return !exitStatus_ && !waitExit(std::chrono::milliseconds(0));
}

}  // namespace zarvi::testing
