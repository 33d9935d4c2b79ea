#include "support/Utf8.h"

#include <utf8proc.h>

namespace pellum {

std::string repairUTF8(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  const auto *data = reinterpret_cast<const utf8proc_uint8_t *>(bytes.data());
  std::size_t position = 0;
  while (position < bytes.size()) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(
        data + position, static_cast<utf8proc_ssize_t>(bytes.size() - position), &codepoint);
    if (length <= 0) {
      result += "\xEF\xBF\xBD";
      ++position;
      continue;
    }
    result.append(bytes.substr(position, static_cast<std::size_t>(length)));
    position += static_cast<std::size_t>(length);
  }
  return result;
}

} // namespace pellum
