#pragma once

#include <string_view>

namespace pellum {

// Writes `text` and a line feed to `fd` with one write (retried only for what a short write
// left), so that lines of concurrent writers never interleave. A reader that has gone away
// loses the line and nothing more. Safe from any thread.
void writeLine(int fd, std::string_view text);

} // namespace pellum
