#include "support/captured_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace zarvi::testing {
namespace {

// A temporary file that is gone once its descriptor is closed.
int openTemporaryFile() {
#ifdef _WIN32
  char path[] = "zarvi-captured-XXXXXX";
  if (::_mktemp_s(path, sizeof path) != 0) return -1;
  return ::_open(path, _O_RDWR | _O_APPEND | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                 _S_IREAD | _S_IWRITE);
#else
  char path[] = "/tmp/zarvi-captured-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) ::unlink(path);
  return fd;
#endif
}

}  // namespace

CapturedOutput::CapturedOutput(int fd) : fd_(fd) {
  std::fflush(nullptr);
  fileFd_ = openTemporaryFile();
  if (fileFd_ < 0) throw std::runtime_error("cannot make a temporary file");
  savedFd_ = ::dup(fd_);
  ::dup2(fileFd_, fd_);
}

CapturedOutput::~CapturedOutput() {
  ::dup2(savedFd_, fd_);
  ::close(savedFd_);
  ::close(fileFd_);
}

std::string CapturedOutput::contents() const {
  const auto end = ::lseek(fileFd_, 0, SEEK_END);
  std::string bytes(static_cast<std::size_t>(end > 0 ? end : 0), '\0');
  std::size_t done = 0;
#ifdef _WIN32
  // The writers append, wherever this moves the shared position.
  ::lseek(fileFd_, 0, SEEK_SET);
  for (int got; done < bytes.size() && (got = ::read(fileFd_, bytes.data() + done,
                                                     static_cast<unsigned>(bytes.size() - done))) > 0;) {
    done += static_cast<std::size_t>(got);
  }
#else
  for (ssize_t got; done < bytes.size() && (got = ::pread(fileFd_, bytes.data() + done, bytes.size() - done,
                                                          static_cast<off_t>(done))) > 0;) {
    done += static_cast<std::size_t>(got);
  }
#endif
  bytes.resize(done);
  return bytes;
}

}  // namespace zarvi::testing
