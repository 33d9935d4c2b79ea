#pragma once

#include "platform/Environment.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// Finds the programs of stdio services. The connector usually runs as a launch agent whose PATH
// lacks what the user's shell start-up files add, so the user's login shell is asked once for
// its PATH. Every member is static; all are safe for concurrent use.
class ExecutableFinder {
public:
  static constexpr std::string_view kDefaultSearchPath =
      "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  static constexpr std::string_view kDefaultShell = "/bin/zsh";
  static constexpr double kProbeTimeout = 10;
  static constexpr std::size_t kProbeLimit = 1048576;
  static constexpr std::string_view kMarkerPrefix = "PELLUM_PATH_";

  ExecutableFinder() = delete;

  // The PATH of the user's login shell, or nothing when the probe failed. The first call runs
  // the probe (blocking up to 10 s; concurrent first callers wait for that one run); the value
  // is kept for the life of the process.
  static const std::optional<std::string> &shellPath();

  // The shell the probe runs: `environment`'s SHELL when present (even empty), else the login
  // shell of the user database, else /bin/zsh.
  static std::string loginShell(const Environment &environment);

  // Runs `shell` "-ilc" with a command that prints a fresh marker and then $PATH, each framed
  // by NUL bytes, and returns the non-empty piece after the marker. Whatever start-up files
  // print around it is ignored. Any failure (launch, time-out, non-zero exit, too much output,
  // no marker) gives nothing. Never throws; blocks up to `timeout` seconds.
  static std::optional<std::string> fullPath(const std::string &shell,
                                             const Environment &environment, double timeout);

  // `inherited`, `shell` and the default search path, absent and empty ones left out, joined
  // with ":". Entries are neither examined nor de-duplicated.
  static std::string searchPath(const std::optional<std::string> &inherited,
                                const std::optional<std::string> &shell);

  // The first candidate that exists, is not a directory and is executable by the current user.
  // A name beginning with "/" is its only candidate; any other name (even one with "/" inside)
  // is tried under each non-empty entry of `path`, never under the working directory.
  static std::optional<std::filesystem::path> findExecutable(const std::string &name,
                                                             const std::string &path);
};

} // namespace pellum
