#pragma once

#include <map>
#include <string>
#include <string_view>

namespace pellum {

// Environment variables by name. An ordered map keeps iteration (and so every derived output)
// deterministic.
using Environment = std::map<std::string, std::string>;

// The current process environment.
Environment processEnvironment();

// True when `text` is a letter or underscore followed by letters, digits and underscores (ASCII).
bool isEnvironmentVariableName(std::string_view text);

} // namespace pellum
