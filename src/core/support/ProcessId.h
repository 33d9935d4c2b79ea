#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pellum {

// The process id written in a PID file: a signed 32-bit decimal number (an optional leading "+"
// or "-") with nothing around it but white space. nullopt for anything else.
std::optional<std::int32_t> parsePid(std::string_view text);

} // namespace pellum
