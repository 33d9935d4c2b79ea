#include "connector/HeadersInput.h"

#include "config/ConnectorError.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace pellum {

bool readsHeadersInput(const std::vector<std::string> &arguments) {
  if (arguments.empty() || (arguments.front() != "add" && arguments.front() != "headers")) {
    return false;
  }
  auto end = std::find(arguments.begin(), arguments.end(), "--");
  return std::find(arguments.begin(), end, "--headers-input") != end;
}

std::optional<std::string> readHeadersInput(int fd, std::size_t limit) {
  std::string content;
  char buffer[65536];
  while (true) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      throw std::system_error(errno, std::generic_category());
    }
    if (count == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(count));
    // Refused before the command runs, so nothing is changed.
    if (content.size() > limit) {
      throw ConnectorError("The headers input is larger than 1 MiB, so nothing was changed.", 400);
    }
  }
  if (content.empty()) {
    return std::nullopt;
  }
  return content;
}

} // namespace pellum
