#include "connector/HeadersInput.h"

#include "support/ConnectorError.h"
#include "support/Files.h"

#include <algorithm>

namespace pellum {

bool readsHeadersInput(const std::vector<std::string> &arguments) {
  if (arguments.empty() || (arguments.front() != "add" && arguments.front() != "headers")) {
    return false;
  }
  auto end = std::find(arguments.begin(), arguments.end(), "--");
  return std::find(arguments.begin(), end, "--headers-input") != end;
}

std::optional<std::string> readHeadersInput(int fd) {
  std::optional<std::string> content = readUpTo(fd, kHeadersInputLimit);
  // Refused before the command runs, so nothing is changed.
  if (!content) {
    throw ConnectorError("The headers input is larger than 1 MiB, so nothing was changed.", 400);
  }
  if (content->empty()) {
    return std::nullopt;
  }
  return content;
}

} // namespace pellum
