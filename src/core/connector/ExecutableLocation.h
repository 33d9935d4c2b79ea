#pragma once

#include <filesystem>

namespace pellum {

// Where the connector lies, from the program name it was invoked with (argv[0]): made absolute
// against the current directory with "." and ".." removed lexically, symbolic links kept. Where
// no absolute path can be formed (an empty name, or a relative one while the current directory
// was removed) it is the kernel's record of the running executable, else the name as given.
// Never fails.
std::filesystem::path executableLocation(const char *programName);

} // namespace pellum
