// Small helpers shared by the benchmark programs (header only: each program is one source file).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace bench {

// Writes all of `bytes` to `fd`, retrying after interruptions; false on any other error. A
// socket or pipe whose reader has gone raises SIGPIPE unless the program ignores it.
inline bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

// A..Z to a..z, every other byte unchanged.
inline std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

} // namespace bench
