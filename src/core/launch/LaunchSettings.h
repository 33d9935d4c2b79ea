#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>

namespace pellum {

// What a LaunchService takes from the system; tests replace each part.
struct LaunchSettings {
  // The user's home directory; the current user's by default.
  std::optional<std::filesystem::path> home;
  // The user whose domain the agent lives in and whose processes may be stopped; the real
  // user ID by default.
  std::optional<uid_t> uid;
  // The service manager's control program: "/bin/launchctl" or "/usr/bin/systemctl" by default.
  std::optional<std::filesystem::path> manager;
  std::filesystem::path ps = "/bin/ps";
  // Sleeps between bootstrap attempts and between stop probes; a real sleep by default.
  std::function<void(double seconds)> sleep;
};

} // namespace pellum
