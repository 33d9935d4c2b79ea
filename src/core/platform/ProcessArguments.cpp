#include "platform/ProcessArguments.h"

#include "support/ConnectorError.h"
#include "support/Unicode.h"

#include <cstdint>
#include <cstring>
#include <utility>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#include <sys/sysctl.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace pellum {

namespace {

constexpr std::string_view kNotReachable =
    "Cannot inspect the running connector. Stop it in its terminal and retry.";
constexpr std::string_view kNotReadable = "Cannot inspect the running connector.";

#ifndef __APPLE__
// Only the first few arguments matter; a longer area is cut here.
constexpr std::size_t kReadLimit = 4 * 1024 * 1024;
#endif

} // namespace

std::vector<std::string> parseProcessArgumentArea(std::string_view area) {
  std::vector<std::string> arguments;
  if (area.size() <= sizeof(std::int32_t)) {
    return arguments;
  }
  std::int32_t count = 0;
  std::memcpy(&count, area.data(), sizeof count);
  std::size_t position = sizeof count;
  // Skip the executable path and the NULs that pad it.
  std::size_t pathEnd = area.find('\0', position);
  if (pathEnd == std::string_view::npos) {
    return arguments;
  }
  position = area.find_first_not_of('\0', pathEnd);
  while (position != std::string_view::npos && position < area.size() &&
         std::cmp_less(arguments.size(), count)) {
    std::size_t end = area.find('\0', position);
    std::string_view argument = area.substr(
        position, end == std::string_view::npos ? std::string_view::npos : end - position);
    arguments.push_back(repairUTF8(argument));
    if (end == std::string_view::npos) {
      break;
    }
    position = end + 1;
  }
  return arguments;
}

#ifdef __APPLE__

std::vector<std::string> processArguments(pid_t pid) {
  int query[3] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
  std::size_t size = 0;
  if (sysctl(query, 3, nullptr, &size, nullptr, 0) != 0) {
    throw ConnectorError(std::string(kNotReachable), 400);
  }
  std::string area(size, '\0');
  if (sysctl(query, 3, area.data(), &size, nullptr, 0) != 0 || size <= sizeof(std::int32_t)) {
    throw ConnectorError(std::string(kNotReadable), 400);
  }
  area.resize(size);
  return parseProcessArgumentArea(area);
}

std::optional<std::filesystem::path> runningExecutable() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (size == 0 || _NSGetExecutablePath(path.data(), &size) != 0) {
    return std::nullopt;
  }
  path.resize(path.find('\0'));
  return path.empty() ? std::nullopt : std::optional<std::filesystem::path>(path);
}

#else

std::vector<std::string> processArguments(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw ConnectorError(std::string(kNotReachable), 400);
  }
  std::string area;
  char buffer[16384];
  bool failed = false;
  while (area.size() < kReadLimit) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      failed = true;
      break;
    }
    if (count == 0) {
      break;
    }
    area.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  // A zombie or a kernel thread has an empty argument area.
  if (failed || area.empty()) {
    throw ConnectorError(std::string(kNotReadable), 400);
  }
  std::vector<std::string> arguments;
  std::size_t position = 0;
  while (position < area.size()) {
    std::size_t end = area.find('\0', position);
    if (end == std::string::npos) {
      end = area.size();
    }
    arguments.push_back(repairUTF8(std::string_view(area).substr(position, end - position)));
    position = end + 1;
  }
  return arguments;
}

std::optional<std::filesystem::path> runningExecutable() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || !path.is_absolute()) {
    return std::nullopt;
  }
  return path;
}

#endif

} // namespace pellum
