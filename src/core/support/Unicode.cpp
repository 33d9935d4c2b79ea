#include "support/Unicode.h"

#include <utf8proc.h>

namespace pellum {

bool isValidUTF8(std::string_view text) {
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  std::size_t offset = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(
        bytes + offset, static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
    if (length <= 0) {
      return false;
    }
    offset += static_cast<std::size_t>(length);
  }
  return true;
}

std::optional<std::size_t> graphemeCount(std::string_view text, std::size_t limit) {
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  std::size_t offset = 0;
  std::size_t count = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(
        bytes + offset, static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
    if (length <= 0) {
      return std::nullopt;
    }
    offset += static_cast<std::size_t>(length);
    // Past the limit the loop goes on only to tell invalid text apart.
    bool boundary = previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state);
    if (boundary && count < limit) {
      ++count;
    }
    previous = codePoint;
  }
  return count;
}

} // namespace pellum
