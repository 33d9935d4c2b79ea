#include "support/ProcessId.h"

#include "support/Ascii.h"

#include <charconv>

namespace pellum {

std::optional<std::int32_t> parsePid(std::string_view text) {
  text = trimWhitespace(text);
  // A leading plus sign is accepted, as by the usual integer parsers; from_chars does not.
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') {
    text.remove_prefix(1);
  }
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

} // namespace pellum
