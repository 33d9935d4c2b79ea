#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

// `bytes` as valid UTF-8: every invalid or truncated sequence becomes U+FFFD.
std::string repairUTF8(std::string_view bytes);

// The number of user-perceived characters (extended grapheme clusters) in `text`, counting at
// most `limit` of them: the result is min(count, limit). Empty when `text` is not valid UTF-8.
std::optional<std::size_t> graphemeCount(std::string_view text, std::size_t limit);

// `text` without leading and trailing white space and line ends, ASCII and Unicode alike: the
// tab, line feed, vertical tab, form feed, carriage return, U+0085 and every space and
// separator (U+00A0, U+2028, U+3000, …) that a paste or an editor may put around a value. Bytes
// that are not UTF-8 count as text.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

} // namespace pellum
