#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pellum {

// The login shell recorded for the current user id in the user database, when there is one.
std::optional<std::string> userLoginShell();

// The current user's home directory: $HOME when set and not empty, else the user database's
// entry for the real user id, else "/". Safe to call from any thread.
std::filesystem::path homeDirectory();

} // namespace pellum
