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

} // namespace pellum
