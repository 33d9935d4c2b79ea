#pragma once

#include "platform/FileDescriptor.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace pellum {

// A unidirectional pipe whose two ends are close-on-exec, so children only get the ends that
// are handed to them explicitly. Writing into it never raises SIGPIPE (see writeAll).
struct Pipe {
  FileDescriptor readEnd;
  FileDescriptor writeEnd;

  // Throws std::system_error.
  static Pipe create();
};

enum class PipeWait { ready, woken, timedOut };

// Waits until `fd` has data or end of file (or an error) to read, `wakeFd` (when >= 0) has
// become readable, or `deadline` (when given) has passed. Throws std::system_error.
PipeWait waitReadable(int fd, int wakeFd,
                      std::optional<std::chrono::steady_clock::time_point> deadline);

// Reads what is available (at most `capacity` bytes) into `buffer`; 0 means end of file. Retries
// on EINTR; throws std::system_error for other failures.
std::size_t readSome(int fd, char *buffer, std::size_t capacity);

// Writes all of `bytes` to `fd`, which must be non-blocking. Returns false, having written only
// part, when `wakeFd` (when >= 0) becomes readable first. A reader that has gone away is
// std::system_error(EPIPE), never a SIGPIPE. Throws std::system_error.
bool writeAll(int fd, std::string_view bytes, int wakeFd);

// Writes what `fd` (non-blocking) takes of `bytes` now and returns how many; 0 when it takes
// nothing without waiting. A reader that has gone away is std::system_error(EPIPE), never a
// SIGPIPE. Throws std::system_error.
std::size_t writeSome(int fd, std::string_view bytes);

// Makes `fd` non-blocking. Throws std::system_error.
void setNonBlocking(int fd);

} // namespace pellum
