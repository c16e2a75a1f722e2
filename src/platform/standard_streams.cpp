#include "platform/standard_streams.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace zarvi::platform {

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, next, size);
    if (written > 0) {
      next += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waitFor{fd, POLLOUT, 0};
      if (::poll(&waitFor, 1, -1) < 0 && errno != EINTR) return false;
      if ((waitFor.revents & (POLLERR | POLLNVAL)) != 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool waitUntilReadable(int fd) {
  for (;;) {
    pollfd waitFor{fd, POLLIN, 0};
    if (::poll(&waitFor, 1, -1) >= 0) return (waitFor.revents & POLLNVAL) == 0;
    if (errno != EINTR) return false;
  }
}

bool writeStandardOutput(const void* data, std::size_t size) {
  return writeAll(STDOUT_FILENO, data, size);
}

bool writeStandardError(const void* data, std::size_t size) {
  return writeAll(STDERR_FILENO, data, size);
}

void ignoreBrokenPipes() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zarvi::platform
