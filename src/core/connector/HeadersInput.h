#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pellum {

// The largest header set that "--headers-input" reads from standard input, as for a headers file.
inline constexpr std::size_t kHeadersInputLimit = 1024 * 1024;

// True when the command is "add" or "headers" and the words before the first "--" hold
// "--headers-input": the command line then hands it standard input.
bool readsHeadersInput(const std::vector<std::string> &arguments);

// All of `fd` up to its end; absent when it held nothing. Throws ConnectorError (400) as soon as
// it holds more than kHeadersInputLimit bytes, and std::system_error when reading fails. Blocks
// until the writer closes its end.
std::optional<std::string> readHeadersInput(int fd);

} // namespace pellum
