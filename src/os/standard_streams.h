#pragma once

#include <cstddef>

namespace zarvi::os {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Writes every byte or gives up on an error that will not go away (a closed pipe, a bad descriptor).
// Partial writes and interrupted calls are retried; a non-blocking descriptor is waited on.
// Returns true when every byte was written.
bool writeAll(int fd, const void* data, std::size_t size);

// Reads what is there, up to size bytes, waiting for it (also on a non-blocking descriptor: an empty
// read is not the end). 0 at the end of input and on an error that will not go away.
std::size_t readSome(int fd, char* into, std::size_t size);

inline bool writeStandardOutput(const void* data, std::size_t size) {
  return writeAll(kStandardOutput, data, size);
}
inline bool writeStandardError(const void* data, std::size_t size) {
  return writeAll(kStandardError, data, size);
}

// Before anything is read or written: a host that closes one of our pipes must not end the process,
// and the bytes on the three streams are exactly the ones written (no line-ending translation).
void prepareStandardStreams();

// Ends the process at once with the status, from any thread: no exit handlers run and nothing is
// flushed (every write was made whole already), whatever the other threads are doing.
[[noreturn]] void exitProcess(int status);

}  // namespace zarvi::os
