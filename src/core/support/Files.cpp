#include "support/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace pellum {

std::string readFile(const std::filesystem::path &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category());
  }
  std::string content;
  char buffer[65536];
  while (true) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category());
    }
    if (count == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return content;
}

std::filesystem::path absoluteLexicalPath(const std::filesystem::path &path) {
  std::filesystem::path result = std::filesystem::absolute(path).lexically_normal();
  // "a/b/.." normalises to "a/"; the trailing separator names nothing.
  if (!result.has_filename() && result.has_relative_path()) {
    result = result.parent_path();
  }
  return result;
}

} // namespace pellum
