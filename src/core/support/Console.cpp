#include "support/Console.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace pellum {

void writeLine(int fd, std::string_view text) {
  std::string line(text);
  line += '\n';
  std::string_view remaining = line;
  while (!remaining.empty()) {
    ssize_t written = ::write(fd, remaining.data(), remaining.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    remaining.remove_prefix(static_cast<std::size_t>(written));
  }
}

} // namespace pellum
