#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace pellum {

// The whole content of the file at `path`. Throws std::system_error when it cannot be opened or
// read, and ConnectorError (400) when it holds more than `limit` bytes, so that a hostile or
// mistaken file never costs more memory than that. Safe to call from any thread.
std::string readFileUpTo(const std::filesystem::path &path, std::size_t limit);

} // namespace pellum
