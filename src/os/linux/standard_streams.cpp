#include "os/standard_streams.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace zarvi::os {
namespace {

bool waitFor(int fd, short events) {
  for (;;) {
    pollfd waitFor{fd, events, 0};
    if (::poll(&waitFor, 1, -1) >= 0) return (waitFor.revents & (POLLERR | POLLNVAL)) == 0;
    if (errno != EINTR) return false;
  }
}

bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

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
    if (written < 0 && wouldBlock() && waitFor(fd, POLLOUT)) continue;
    return false;
  }
  return true;
}

std::size_t readSome(int fd, char* into, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, into, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    // A host may hand over a non-blocking pipe; an empty read is no end of input.
    if (wouldBlock() && waitFor(fd, POLLIN)) continue;
    return 0;
  }
}

void prepareStandardStreams() {
  std::signal(SIGPIPE, SIG_IGN);
}

void exitProcess(int status) {
  ::_exit(status);
}

}  // namespace zarvi::os
