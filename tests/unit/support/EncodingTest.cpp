#include "support/Encoding.h"

#include <gtest/gtest.h>

namespace pellum {
namespace {

TEST(Encoding, Base64MatchesKnownVectors) {
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
  EXPECT_EQ(base64Encode("user:pa:ss"), "dXNlcjpwYTpzcw==");
}

TEST(Encoding, Sha256OfEmptyInput) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Encoding, NewUUIDIsUpperCaseCanonicalAndUnique) {
  std::string a = newUUID();
  std::string b = newUUID();
  EXPECT_TRUE(isUUID(a));
  EXPECT_NE(a, b);
  for (char c : a) {
    EXPECT_FALSE(c >= 'a' && c <= 'z') << a;
  }
  EXPECT_EQ(a[14], '4');
}

TEST(Encoding, IsUUIDRejectsOtherShapes) {
  EXPECT_TRUE(isUUID("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_FALSE(isUUID("123e4567e89b12d3a456426614174000"));
  EXPECT_FALSE(isUUID("123e4567-e89b-12d3-a456-42661417400g"));
  EXPECT_FALSE(isUUID(""));
}

TEST(Encoding, ConstantTimeEquals) {
  EXPECT_TRUE(constantTimeEquals("abc", "abc"));
  EXPECT_FALSE(constantTimeEquals("abc", "abd"));
  EXPECT_FALSE(constantTimeEquals("abc", "abcd"));
}

} // namespace
} // namespace pellum
