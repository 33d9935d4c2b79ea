#pragma once

#include <map>
#include <string>

namespace pellum {

// HTTP header fields by name. Names are lower case inside the system; an ordered map keeps
// iteration (and so every head written from one) deterministic.
using HeaderMap = std::map<std::string, std::string>;

} // namespace pellum
