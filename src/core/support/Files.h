#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// The whole content of a file. Throws std::system_error (the operating system's text) when it
// cannot be opened or read. Safe to call from any thread.
std::string readFile(const std::filesystem::path &path);

// The whole content of a file that should hold at most `limit` bytes. Throws std::system_error
// naming the file when it cannot be opened or read, and ConnectorError (400) when it holds more
// than `limit` bytes, so that a hostile or mistaken file never costs more memory than that.
// Safe to call from any thread.
std::string readFile(const std::filesystem::path &path, std::size_t limit);

// What `fd` yields up to its end, or nothing as soon as it has yielded more than `limit` bytes.
// Throws std::system_error (the operating system's error) when a read fails. Blocks until the
// writer closes its end.
std::optional<std::string> readUpTo(int fd, std::size_t limit);

// Writes all of `bytes` to `fd`, resuming after interruptions and short writes. Throws
// std::system_error (the operating system's error) when a write fails; what went out before
// stays written. Safe to call from any thread.
void writeAll(int fd, std::string_view bytes);

// `path` made absolute against the current directory, with "." and ".." components removed
// lexically and no trailing separator; symbolic links are not resolved. Throws
// std::filesystem::filesystem_error when no absolute path can be formed (see below).
std::filesystem::path absoluteLexicalPath(const std::filesystem::path &path);

// The same, or nothing when no absolute path can be formed: `path` is empty, or it is relative
// while the current directory has no name (it was removed).
std::optional<std::filesystem::path> tryAbsoluteLexicalPath(const std::filesystem::path &path);

// `path` made absolute against the current directory and otherwise unchanged ("." and ".."
// stay for the file system to follow, through symbolic links); `path` as given when no
// absolute path can be formed. Never fails.
std::filesystem::path absolutePathOrAsGiven(const std::filesystem::path &path);

} // namespace pellum
