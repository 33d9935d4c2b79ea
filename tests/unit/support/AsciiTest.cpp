#include "support/Ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace pellum {
namespace {

TEST(Ascii, HTTPTokensAreLettersDigitsAndTheSeventeenMarks) {
  for (const char *token : {"a", "Content-Type", "mcp-session-id", "x_1", "!#$%&'*+-.^_`|~"}) {
    EXPECT_TRUE(isHTTPToken(token)) << token;
  }
  const std::string refused[] = {"",     " x",   "x ",   "a b",         "a\tb", "a\rb",
                                 "a\nb", "a:b",  "a\"b", "a(b)",        "a,b",  "a/b",
                                 "a;b",  "a<b>", "a=b",  "a?b",         "a@b",  "a[b]",
                                 "a\\b", "a{b}", "\x7f", "caf\xc3\xa9", "\x01"};
  for (const std::string &text : refused) {
    EXPECT_FALSE(isHTTPToken(text)) << text;
  }
  EXPECT_FALSE(isHTTPToken(std::string("a\0b", 3)));
}

} // namespace
} // namespace pellum
