#include "config/SecretsEnv.h"
#include "config/ServiceOrigin.h"
#include "support/ConnectorError.h"

#include "Refusal.h"

#include <gtest/gtest.h>

namespace pellum {
namespace {

std::string failure(std::string_view text) {
  return test::refusal([&] { parseEnvironment(text); });
}

TEST(SecretsEnv, Assignments) {
  struct Case {
    std::string text;
    Environment expected;
  } cases[] = {
      {"export NAME=abc", {{"NAME", "abc"}}},
      {"  A  =  b c  # note", {{"A", "b c"}}},
      {"A=a#b", {{"A", "a"}}},
      {"A=", {{"A", ""}}},
      {"A=   # only a comment", {{"A", ""}}},
      {"# comment\n\n   \t\nA=1\n#B=2", {{"A", "1"}}},
      {"A=1\nA=2", {{"A", "2"}}},
      {"A=x=y", {{"A", "x=y"}}},
      {"A=\"line\\nnext\\rend\"", {{"A", "line\nnext\rend"}}},
      {"A='line\\nnext'", {{"A", "line\\nnext"}}},
      {"A=`tick\\n`", {{"A", "tick\\n"}}},
      {"A=\"a\\\\nb\"", {{"A", "a\\\nb"}}},
      {"A=\"keep # this\"   # comment", {{"A", "keep # this"}}},
      {"A=\"\"", {{"A", ""}}},
      {"A=\"x\\\"", {{"A", "x\\"}}},
      {"A=\"it's\"", {{"A", "it's"}}},
      {"A=\"first\n  second  \nthird\"\nB=2", {{"A", "first\n  second  \nthird"}, {"B", "2"}}},
      {"A=\"x\r\ny\"", {{"A", "x\n\ny"}}},
      {"A=1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
      {"A=1\vB=2\fC=3\rD=4", {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}}},
      {"A=1\xC2\x85"
       "B=2\xE2\x80\xA8"
       "C=3\xE2\x80\xA9"
       "D=4",
       {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}}},
      // No-break and ideographic spaces are horizontal white space too.
      {"\xC2\xA0"
       "A=b\xE3\x80\x80",
       {{"A", "b"}}},
      {"export   A=1", {{"A", "1"}}},
      {"A=caf\xC3\xA9", {{"A", "caf\xC3\xA9"}}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(parseEnvironment(c.text), c.expected) << c.text;
  }
}

TEST(SecretsEnv, Errors) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"JUSTANAME", "Invalid secrets.env entry."},
      {"A=1\nexport", "Invalid secrets.env entry."},
      {"export\tNAME=abc", "Invalid secrets.env variable name."},
      {"=value", "Invalid secrets.env variable name."},
      {"1A=x", "Invalid secrets.env variable name."},
      {"A-B=x", "Invalid secrets.env variable name."},
      {"A=\"open", "Unterminated secrets.env quoted value."},
      {"A='open\nB=2\n", "Unterminated secrets.env quoted value."},
      {"A=\"x\\\"y\"", "Invalid quoted secrets.env value."}, // a backslash escapes nothing
      {"A=\"x\" y", "Invalid quoted secrets.env value."},
      {"A='x'y", "Invalid quoted secrets.env value."},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(failure(c.text), c.message) << c.text;
  }
}

TEST(SecretsEnv, ContinuationLinesAreNotParsedAsAssignments) {
  EXPECT_EQ(parseEnvironment("A='x\nB=2\n'"), (Environment{{"A", "x\nB=2\n"}}));
}

TEST(ServiceOrigin, OnlyBareHttpsOrigins) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"https://pellum.zendrel.com", true},
      {"https://pellum.zendrel.com/", true},
      {"https://localhost:8443", true},
      {"https://pellum.zendrel.com/api", false},
      {"https://pellum.zendrel.com//", false},
      {"https://pellum.zendrel.com/.", false},
      {"https://pellum.zendrel.com?", false},
      {"https://pellum.zendrel.com/?a=1", false},
      {"https://pellum.zendrel.com#", false},
      {"https://pellum.zendrel.com/#top", false},
      {"https://user@pellum.zendrel.com", false},
      {"https://user:pw@pellum.zendrel.com", false},
      {"https://@pellum.zendrel.com", false},
      {"http://pellum.zendrel.com", false},
      {"HTTPS://pellum.zendrel.com", false},
      {"https:/pellum.zendrel.com", false},
      {"https://", false},
      {"https://pellum.zendrel.com:99999", false},
      {"pellum.zendrel.com", false},
      {"", false},
      {std::string("https://a.com\0.evil", 19), false},
  };
  for (const Case &c : cases) {
    if (c.valid) {
      EXPECT_EQ(endpoint(c.text), c.text);
    } else {
      try {
        endpoint(c.text);
        ADD_FAILURE() << "accepted " << c.text;
      } catch (const ConnectorError &error) {
        EXPECT_EQ(error.message, "Service URL must be an HTTPS origin.");
      }
    }
  }
  EXPECT_NO_THROW(endpoint(kDefaultServiceOrigin));
  EXPECT_NO_THROW(endpoint(kLegacyServiceOrigin));
}

} // namespace
} // namespace pellum
