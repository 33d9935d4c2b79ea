#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace pellum {

// The argument vector of process `pid` as the kernel reports it (argv[0] first). Throws
// ConnectorError("Cannot inspect the running connector. Stop it in its terminal and retry.", 400)
// when the argument area cannot be reached at all, and ConnectorError("Cannot inspect the
// running connector.", 400) when it cannot be read or is too short to hold anything. Reads at
// most a few MiB. Safe to call from any thread.
std::vector<std::string> processArguments(pid_t pid);

// Decodes a macOS KERN_PROCARGS2 argument area: a 32-bit argument count in host byte order, the
// executable path, padding NULs, then NUL-ended arguments (the last may run to the end). Strings
// are returned as valid UTF-8 (invalid sequences replaced). Never fails; a malformed area yields
// fewer (or no) arguments.
std::vector<std::string> parseProcessArgumentArea(std::string_view area);

// The file of the running program as the kernel records it (symbolic links resolved), or
// nothing when the kernel cannot say. Safe to call from any thread.
std::optional<std::filesystem::path> runningExecutable();

} // namespace pellum
