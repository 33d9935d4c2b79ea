#include "TempDir.h"

#include "launch/LaunchService.h"
#include "platform/ProcessArguments.h"
#include "support/ConnectorError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace pellum {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

TEST(LaunchServiceTest, HelperLivesInTheBundleOrNextToTheExecutable) {
  struct Case {
    fs::path bundle;
    std::optional<fs::path> executable;
    fs::path expected;
  };
  const Case cases[] = {
      {"/Applications/Pellum.app", "/Applications/Pellum.app/Contents/MacOS/Pellum",
       "/Applications/Pellum.app/Contents/Helpers/PellumConnector"},
      {"/Applications/Pellum.app/", std::nullopt,
       "/Applications/Pellum.app/Contents/Helpers/PellumConnector"},
      {"/opt/pellum/build", "/opt/pellum/build/bin/Pellum",
       "/opt/pellum/build/bin/PellumConnector"},
      {"/opt/pellum/build", std::nullopt, "/opt/pellum/build/PellumConnector"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(LaunchService::helperURL(c.bundle, c.executable), c.expected) << c.bundle;
  }
}

TEST(LaunchServiceTest, RecognisesConnectorCommandLines) {
  test::TempDir temp;
  fs::create_directories(temp.path() / "cli/dist");
  fs::create_directories(temp.path() / "other/dist");
  fs::create_directories(temp.path() / "broken/dist");
  std::ofstream(temp.path() / "cli/package.json") << R"({"name": "pellum-cli", "version": "1"})";
  std::ofstream(temp.path() / "other/package.json") << R"({"name": "other-cli"})";
  std::ofstream(temp.path() / "broken/package.json") << R"({"name": "pellum-cli")";
  const std::string cli = (temp.path() / "cli/dist/main.js").string();
  struct Case {
    std::vector<std::string> arguments;
    bool expected;
  };
  const Case cases[] = {
      {{"/Applications/Pellum.app/Contents/Helpers/PellumConnector", "start"}, true},
      {{"PellumConnector", "start", "--cloudflared", "/x"}, true},
      {{"/x/PellumConnector", "service", "status"}, false},
      {{"/x/PellumConnector"}, false},
      {{"/x/PellumConnectorX", "start"}, false},
      {{"/usr/local/bin/node", cli, "start"}, true},
      {{"nodejs", cli, "start", "--foreground"}, true},
      {{"/usr/local/bin/node", cli}, false},
      {{"/usr/local/bin/node", cli, "status"}, false},
      {{"/usr/local/bin/deno", cli, "start"}, false},
      {{"node", (temp.path() / "cli/dist/other.js").string(), "start"}, false},
      {{"node", (temp.path() / "other/dist/main.js").string(), "start"}, false},
      {{"node", (temp.path() / "broken/dist/main.js").string(), "start"}, false},
      {{"node", (temp.path() / "missing/dist/main.js").string(), "start"}, false},
      {{}, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(LaunchService::isConnectorCommand(c.arguments), c.expected)
        << ::testing::PrintToString(c.arguments);
  }
}

TEST(LaunchServiceTest, BootstrapRetriesWithDelaysAndReportsTheLastFailure) {
  auto attempts = [](std::vector<int> statuses) {
    return [statuses, index = std::size_t(0)]() mutable {
      int status = statuses.at(std::min(index++, statuses.size() - 1));
      return CommandResult{status, false, status == 0 ? "" : "\n  Bootstrap failed: 5: I/O  \n"};
    };
  };
  std::vector<double> sleeps;
  auto sleep = [&sleeps](double seconds) { sleeps.push_back(seconds); };

  LaunchService::bootstrap(0.2, 50, attempts({5, 5, 0}), sleep);
  EXPECT_THAT(sleeps, ElementsAre(0.2, 0.2));

  sleeps.clear();
  int runs = 0;
  LaunchService::bootstrap(
      0.2, 0, [&runs] { return ++runs, CommandResult{}; }, sleep);
  EXPECT_EQ(runs, 0);

  try {
    LaunchService::bootstrap(0.2, 3, attempts({5, 5, 37}), sleep);
    FAIL() << "bootstrap succeeded";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message,
              "Cannot register the connector with launchd (exit 37). Bootstrap failed: 5: I/O");
    EXPECT_EQ(error.status, 400);
  }
  EXPECT_EQ(sleeps.size(), 2u);

  EXPECT_THROW(LaunchService::bootstrap(
                   0.2, 5, []() -> CommandResult { throw std::runtime_error("spawn"); }, sleep),
               std::runtime_error);
}

std::string area(std::int32_t count, std::string_view rest) {
  std::string bytes(sizeof count, '\0');
  std::memcpy(bytes.data(), &count, sizeof count);
  return bytes + std::string(rest);
}

TEST(ProcessArgumentsTest, DecodesTheKernelArgumentArea) {
  using namespace std::string_view_literals;
  struct Case {
    const char *name;
    std::string bytes;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"typical",
       area(2, "/x/PellumConnector\0\0\0\0PellumConnector\0start\0HOME=/h\0"sv),
       {"PellumConnector", "start"}},
      {"last without NUL",
       area(3, "/bin/node\0node\0main.js\0start"sv),
       {"node", "main.js", "start"}},
      {"count larger than strings", area(9, "/p\0a\0b\0"sv), {"a", "b"}},
      {"invalid UTF-8", area(1, "/p\0a\xff"sv), {"a\xEF\xBF\xBD"}},
      {"no NUL after the count", area(1, "/path"), {}},
      {"only NULs after the path", area(1, "/path\0\0\0"sv), {}},
      {"just the count", area(1, ""), {}},
      {"too short", std::string("\1\0"sv), {}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(parseProcessArgumentArea(c.bytes), c.expected) << c.name;
  }
}

TEST(ProcessArgumentsTest, ReadsALiveProcessAndRefusesAMissingOne) {
  std::vector<std::string> own = processArguments(::getpid());
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(fs::path(own[0]).filename(), "unit_launch");
  try {
    processArguments(0x7ffffff0);
    FAIL() << "read a missing process";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message,
              "Cannot inspect the running connector. Stop it in its terminal and retry.");
  }
}

} // namespace
} // namespace pellum
