#include "support/ReadFile.h"

#include "config/ConnectorError.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace pellum {

std::string readFileUpTo(const std::filesystem::path &path, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), path.string());
  }
  std::string content;
  char buffer[16384];
  while (true) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), path.string());
    }
    if (count == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(count));
    if (content.size() > limit) {
      ::close(fd);
      throw ConnectorError("The file " + path.string() + " is too large to read.", 400);
    }
  }
  ::close(fd);
  return content;
}

} // namespace pellum
