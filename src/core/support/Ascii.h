#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pellum {

// True for the ASCII letters a..z and A..Z.
bool isAlpha(char c);

// True for the ASCII digits 0..9.
bool isDigit(char c);

// True for 0..9, a..f and A..F.
bool isHexDigit(char c);

// True when `text` is an HTTP token (RFC 9110): one or more of the letters, the digits and
// !#$%&'*+-.^_`|~. Methods and header names are tokens; nothing in one can end a line or a field.
bool isHTTPToken(std::string_view text);

// The value of a hexadecimal digit of either case, -1 for any other byte.
int hexDigitValue(char c);

// A..Z to a..z; every other byte, including non-ASCII ones, unchanged. Protocol names are
// compared this way so that no Unicode case mapping can turn a foreign name into a known one.
std::string lowerASCII(std::string_view text);

// The non-empty lines of `text`, split at "\n".
std::vector<std::string_view> nonEmptyLines(std::string_view text);

// `text` without leading and trailing spaces and tabs.
std::string_view trimBlanks(std::string_view text);

// `text` without leading and trailing ASCII white space and line ends (space, \t, \n, \r, \v, \f).
std::string_view trimWhitespace(std::string_view text);

} // namespace pellum
