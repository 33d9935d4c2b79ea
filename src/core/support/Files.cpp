#include "support/Files.h"

#include "support/ConnectorError.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <system_error>
#include <unistd.h>

namespace pellum {

namespace {

// Reads the file until its end or until it has shown more than `limit` bytes (then empty). An
// error names the file when `nameFile` is set.
std::optional<std::string> readFileUpTo(const std::filesystem::path &path, std::size_t limit,
                                        bool nameFile) {
  auto fail = [&](int error) -> std::system_error {
    return nameFile ? std::system_error(error, std::generic_category(), path.string())
                    : std::system_error(error, std::generic_category());
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw fail(errno);
  }
  try {
    std::optional<std::string> content = readUpTo(fd, limit);
    ::close(fd);
    return content;
  } catch (const std::system_error &error) {
    ::close(fd);
    throw fail(error.code().value());
  } catch (...) {
    ::close(fd);
    throw;
  }
}

// "a/b/.." normalises to "a/"; the trailing separator names nothing.
std::filesystem::path lexicallyNormal(const std::filesystem::path &absolute) {
  std::filesystem::path result = absolute.lexically_normal();
  if (!result.has_filename() && result.has_relative_path()) {
    result = result.parent_path();
  }
  return result;
}

} // namespace

std::optional<std::string> readUpTo(int fd, std::size_t limit) {
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
      return content;
    }
    content.append(buffer, static_cast<std::size_t>(count));
    if (content.size() > limit) {
      return std::nullopt;
    }
  }
}

std::string readFile(const std::filesystem::path &path) {
  return *readFileUpTo(path, std::numeric_limits<std::size_t>::max(), false);
}

std::string readFile(const std::filesystem::path &path, std::size_t limit) {
  std::optional<std::string> content = readFileUpTo(path, limit, true);
  if (!content) {
    throw ConnectorError("The file " + path.string() + " is too large to read.", 400);
  }
  return std::move(*content);
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      throw std::system_error(errno, std::generic_category());
    }
    if (written == 0) {
      // Nothing taken for a non-empty write: retrying would spin for ever.
      throw std::system_error(EIO, std::generic_category());
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::filesystem::path absoluteLexicalPath(const std::filesystem::path &path) {
  return lexicallyNormal(std::filesystem::absolute(path));
}

std::optional<std::filesystem::path> tryAbsoluteLexicalPath(const std::filesystem::path &path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error || absolute.empty()) {
    return std::nullopt;
  }
  return lexicallyNormal(absolute);
}

std::filesystem::path absolutePathOrAsGiven(const std::filesystem::path &path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error || absolute.empty() ? path : absolute;
}

} // namespace pellum
