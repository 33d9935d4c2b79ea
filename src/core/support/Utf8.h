#pragma once

#include <string>
#include <string_view>

namespace pellum {

// `bytes` as valid UTF-8: every invalid or truncated sequence becomes U+FFFD.
std::string repairUTF8(std::string_view bytes);

} // namespace pellum
