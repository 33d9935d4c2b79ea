#include "support/Unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace pellum {
namespace {

TEST(UnicodeTest, ValidatesStrictUTF8) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {std::string("a\0b", 3), true},
      {"caf\xC3\xA9", true},
      {"\xE2\x80\xA6", true},
      {"\xED\x9F\xBF", true},      // U+D7FF, just below the surrogates
      {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
      {"\xC0\xAF", false},         // overlong "/"
      {"\xE0\x80\xAF", false},     // overlong three-byte form
      {"\xF0\x80\x80\xAF", false}, // overlong four-byte form
      {"\xED\xA0\x80", false},     // surrogate U+D800
      {"\xF4\x90\x80\x80", false}, // past U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xC3", false}, // truncated
      {"\xE2\x80", false},
      {"\x80", false}, // lone continuation byte
      {"\xFF", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(isValidUTF8(c.text), c.valid) << testing::PrintToString(c.text);
  }
}

TEST(UnicodeTest, TrimsWhiteSpaceAndNewlinesOfEveryKind) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {" a b ", "a b"},
      {"\u0085\u00a0\u1680a\u2000\u200a\u2028\u2029\u202f\u205f\u3000", "a"},
      {"\u00a0a\u00a0b\u00a0", "a\u00a0b"},
      {"\u200ba\ufeff", "\u200ba\ufeff"}, // format characters are text
      {"\xff a \xc3", "\xff a \xc3"},     // so are bytes that are not UTF-8
      {"\u2028\xc3", "\xc3"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(trimWhitespaceAndNewlines(c.text), c.trimmed) << testing::PrintToString(c.text);
  }
}

TEST(UnicodeTest, RepairReplacesEachInvalidByte) {
  EXPECT_EQ(repairUTF8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(repairUTF8("a\xC3"), "a\xEF\xBF\xBD");
  EXPECT_EQ(repairUTF8("\xC0\xAF!"), "\xEF\xBF\xBD\xEF\xBF\xBD!");
  EXPECT_EQ(repairUTF8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

} // namespace
} // namespace pellum
