#pragma once

#include <map>
#include <string>

namespace pellum {

// Environment variables by name, and header maps by name. Ordered maps keep iteration (and so
// every derived output) deterministic.
using Environment = std::map<std::string, std::string>;
using HeaderMap = std::map<std::string, std::string>;

// The current process environment.
Environment processEnvironment();

} // namespace pellum
