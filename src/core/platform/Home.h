#pragma once

#include <filesystem>

namespace pellum {

// The current user's home directory: $HOME when set and not empty, else the user database's
// entry for the real user id, else "/". Safe to call from any thread.
std::filesystem::path homeDirectory();

} // namespace pellum
