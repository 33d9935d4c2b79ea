#pragma once

#include <string>
#include <string_view>

namespace pellum {

// A..Z to a..z; every other byte, including non-ASCII ones, unchanged. Protocol names are
// compared this way so that no Unicode case mapping can turn a foreign name into a known one.
std::string lowerASCII(std::string_view text);

// `text` without leading and trailing spaces and tabs.
std::string_view trimBlanks(std::string_view text);

// `text` without leading and trailing ASCII white space and line ends (space, \t, \n, \r, \v, \f).
std::string_view trimWhitespace(std::string_view text);

} // namespace pellum
