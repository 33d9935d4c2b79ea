#pragma once

#include <optional>
#include <string>

namespace pellum {

// The login shell recorded for the current user id in the user database, when there is one.
std::optional<std::string> userLoginShell();

// The current user's home directory: HOME when set and not empty, else the user database's.
// Throws std::runtime_error when neither knows it.
std::string homeDirectory();

} // namespace pellum
