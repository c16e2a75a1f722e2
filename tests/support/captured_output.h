#pragma once

#include <string>

namespace zarvi::testing {

// Sends everything written to one of this process's descriptors (1 or 2) to a temporary file for the
// life of the object, so that a test can read back the exact bytes the code wrote.
class CapturedOutput {
 public:
  explicit CapturedOutput(int fd);
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::string contents() const;

 private:
  int fd_;
  int savedFd_;
  int fileFd_;
};

}  // namespace zarvi::testing
