#include "support/captured_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace zarvi::testing {

CapturedOutput::CapturedOutput(int fd) : fd_(fd) {
  std::fflush(nullptr);
  char path[] = "/tmp/zarvi-captured-XXXXXX";
  fileFd_ = ::mkstemp(path);
  if (fileFd_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(path);
  savedFd_ = ::dup(fd_);
  ::dup2(fileFd_, fd_);
}

CapturedOutput::~CapturedOutput() {
  ::dup2(savedFd_, fd_);
  ::close(savedFd_);
  ::close(fileFd_);
}

std::string CapturedOutput::contents() const {
  struct stat info {};
  ::fstat(fileFd_, &info);
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::pread(fileFd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace zarvi::testing
