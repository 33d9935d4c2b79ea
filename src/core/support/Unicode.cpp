#include "support/Unicode.h"

#include <algorithm>

#include <utf8proc.h>

namespace pellum {

namespace {

// The length of the well-formed UTF-8 sequence at `text[offset]`, its code point in
// `codePoint`; 0 when the bytes there are not one.
std::size_t nextCodePoint(std::string_view text, std::size_t offset, utf8proc_int32_t &codePoint) {
  utf8proc_ssize_t length =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t *>(text.data()) + offset,
                       static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool isWhitespaceOrNewline(utf8proc_int32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) {
    return true;
  }
  utf8proc_category_t category = utf8proc_category(codePoint);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

} // namespace

bool isValidUTF8(std::string_view text) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    std::size_t length = nextCodePoint(text, offset, codePoint);
    if (length == 0) {
      return false;
    }
    offset += length;
  }
  return true;
}

std::string repairUTF8(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    utf8proc_int32_t codePoint = 0;
    std::size_t length = nextCodePoint(bytes, offset, codePoint);
    if (length == 0) {
      result += "\xEF\xBF\xBD";
      ++offset;
      continue;
    }
    result.append(bytes.substr(offset, length));
    offset += length;
  }
  return result;
}

std::optional<std::size_t> graphemeCount(std::string_view text, std::size_t limit) {
  std::size_t offset = 0;
  std::size_t count = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    std::size_t length = nextCodePoint(text, offset, codePoint);
    if (length == 0) {
      return std::nullopt;
    }
    offset += length;
    // Past the limit the loop goes on only to tell invalid text apart.
    bool boundary = previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state);
    if (boundary && count < limit) {
      ++count;
    }
    previous = codePoint;
  }
  return count;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  std::size_t offset = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    std::size_t length = nextCodePoint(text, offset, codePoint);
    bool blank = length != 0 && isWhitespaceOrNewline(codePoint);
    std::size_t next = offset + (length != 0 ? length : 1);
    if (!blank) {
      begin = std::min(begin, offset);
      end = next;
    }
    offset = next;
  }
  return begin < end ? text.substr(begin, end - begin) : text.substr(0, 0);
}

} // namespace pellum
