#pragma once

#include <filesystem>
#include <string>

namespace pellum {

// The whole content of a file. Throws std::system_error (the operating system's text) when it
// cannot be opened or read.
std::string readFile(const std::filesystem::path &path);

// `path` made absolute against the current directory, with "." and ".." components removed
// lexically and no trailing separator; symbolic links are not resolved.
std::filesystem::path absoluteLexicalPath(const std::filesystem::path &path);

} // namespace pellum
