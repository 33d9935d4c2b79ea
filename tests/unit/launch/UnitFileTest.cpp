#include "launch/UnitFile.h"
#include "support/ConnectorError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellum {
namespace {

using ::testing::ElementsAre;

TEST(UnitFileTest, QuotedWordsReadBackUnchanged) {
  const std::string words[] = {"plain",       "with space",     "100%",
                               "%h%%",        "$HOME ${X} $$",  "quote \" here",
                               "back\\slash", "tab\tnew\nline", "bell\x07 del\x7f",
                               "ünï €",       "'single'",       ""};
  for (const std::string &word : words) {
    SCOPED_TRACE(word);
    EXPECT_THAT(UnitFile::splitWords(UnitFile::quoteCommandWord(word), true), ElementsAre(word));
    EXPECT_THAT(UnitFile::splitWords(UnitFile::quoteAssignment("NAME", word), false),
                ElementsAre("NAME=" + word));
  }
  EXPECT_EQ(UnitFile::quoteCommandWord("a%b$c\"d\\e\nf\x01"), "\"a%%b$$c\\\"d\\\\e\\nf\\x01\"");
  EXPECT_EQ(UnitFile::quoteAssignment("P", "a%b$c"), "\"P=a%%b$c\"");
}

TEST(UnitFileTest, SplitsWordsAsSystemdDoes) {
  struct Case {
    const char *value;
    bool command;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"  /bin/a   b\tc  ", true, {"/bin/a", "b", "c"}},
      {"'/a b' \"c d\" e\"f g\"h", true, {"/a b", "c d", "ef gh"}},
      {"\"\\x41\\101\\u00e9\\s\\q\"", true, {"AA\xc3\xa9 \\q"}},
      {"a$$b", true, {"a$b"}},
      {"a$$b", false, {"a$$b"}},
      {"\"unterminated", true, {"unterminated"}},
      {"trailing\\", true, {"trailing\\"}},
      {"", true, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(UnitFile::splitWords(c.value, c.command), c.words);
  }
}

TEST(UnitFileTest, ParsesSectionsCommentsAndContinuations) {
  UnitFile unit = UnitFile::parse("# comment\n"
                                  "[Service]\r\n"
                                  "ExecStart=/bin/false\n"
                                  "ExecStart=\n"
                                  "ExecStart=-/usr/bin/prog \\\n"
                                  "  start \"two words\"\n"
                                  "; Environment=IGNORED=1\n"
                                  "Environment=A=1 \"B=two words\"\n"
                                  "Environment=A=3 junk\n"
                                  "[Unit]\n"
                                  "ExecStart=/not/service\n"
                                  "[Install]\n"
                                  "WantedBy=multi-user.target default.target\n");
  EXPECT_THAT(unit.execStart(), ElementsAre("/usr/bin/prog", "start", "two words"));
  EXPECT_EQ(unit.environment(), (Environment{{"A", "3"}, {"B", "two words"}}));
  EXPECT_THAT(unit.wantedBy(), ElementsAre("multi-user.target", "default.target"));

  UnitFile reset = UnitFile::parse("[Service]\nEnvironment=A=1\nEnvironment=\nEnvironment=B=2\n");
  EXPECT_EQ(reset.environment(), (Environment{{"B", "2"}}));
  EXPECT_TRUE(UnitFile::parse("garbage\n[Service\n=x\n").execStart().empty());
}

TEST(UnitFileTest, PathValuesAreAbsoluteAndPlain) {
  EXPECT_EQ(UnitFile::pathValue("/home/a b/100%"), "/home/a b/100%%");
  for (const char *bad : {"relative/path", "", "/trailing ", "/new\nline", "/tab\there"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(UnitFile::pathValue(bad), ConnectorError);
  }
}

} // namespace
} // namespace pellum
