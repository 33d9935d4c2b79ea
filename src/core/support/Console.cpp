#include "support/Console.h"

#include "support/Files.h"

#include <string>
#include <system_error>

namespace pellum {

void writeLine(int fd, std::string_view text) {
  std::string line(text);
  line += '\n';
  try {
    writeAll(fd, line);
  } catch (const std::system_error &) {
    // Nobody is left to tell: the line is dropped.
  }
}

} // namespace pellum
