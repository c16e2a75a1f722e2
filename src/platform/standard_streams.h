#pragma once

#include <cstddef>

namespace zarvi::platform {

// Writes every byte or gives up on an error that will not go away (a closed pipe, a bad descriptor).
// Partial writes and EINTR are retried; a non-blocking descriptor is waited on with poll(2).
// Returns true when every byte was written.
bool writeAll(int fd, const void* data, std::size_t size);

// Blocks until fd has something to read, or its end or an error; false when polling fails for good.
bool waitUntilReadable(int fd);

bool writeStandardOutput(const void* data, std::size_t size);
bool writeStandardError(const void* data, std::size_t size);

// A host that closes one of our pipes must not end the process through SIGPIPE.
void ignoreBrokenPipes();

}  // namespace zarvi::platform
