#include "OnboardingFixture.h"

#include "onboarding/FirstRun.h"
#include "support/ConnectorError.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <optional>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;

constexpr const char *kConnector = "/Applications/Pellum.app/Contents/Helpers/PellumConnector";
constexpr const char *kNode = "/usr/local/bin/node";

// Directories a situation may use. `relative` is named to its agent as "rel" and `blank` as an
// empty value.
enum class Dir { pellum, kestrin, chosen, chosenWithSlash, agent, relative, blank };

struct AgentSpec {
  std::string_view label;
  bool connector;       // runs PellumConnector, else the earlier edition's node program
  std::string variable; // the variable naming its directory; empty for none
  Dir dir = Dir::agent;
};

// "mac-app.json" texts for the sample record.
constexpr const char *kComplete =
    R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com","setupComplete":true})";
constexpr const char *kPending =
    R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com","setupComplete":false})";
constexpr const char *kOtherDevice =
    R"({"deviceId":"dev-2","endpoint":"https://pellum.zendrel.com","setupComplete":true})";
constexpr const char *kOtherEndpoint =
    R"({"deviceId":"dev-1","endpoint":"https://kestrin.zendrel.com","setupComplete":true})";
constexpr const char *kNotJSON = "{deviceId";

struct Case {
  const char *name;
  std::optional<Dir> chosen;
  std::vector<AgentSpec> agents;
  std::vector<Dir> configs;
  std::vector<std::pair<Dir, const char *>> ownership;
  FirstRunPhase phase;
  Dir store;
  bool device;
};

constexpr std::string_view kApp = LaunchService::label;
constexpr std::string_view kCli = LaunchService::cliLabel;
const std::string kPellumVar = "PELLUM_CONFIG_DIR";
const std::string kKestrinVar = "KESTRIN_CONFIG_DIR";

using enum FirstRunPhase;

const Case kCases[] = {
    {"nothing anywhere", {}, {}, {}, {}, loginRequired, Dir::pellum, false},
    {"nothing, a chosen directory", Dir::chosen, {}, {}, {}, loginRequired, Dir::chosen, false},
    {"nothing, an agent's directory comes first",
     {},
     {{kCli, false, kKestrinVar}},
     {},
     {},
     loginRequired,
     Dir::agent,
     false},
    {"nothing, the chosen directory before an agent's",
     Dir::chosen,
     {{kApp, true, kPellumVar}},
     {},
     {},
     loginRequired,
     Dir::chosen,
     false},
    {"only .kestrin paired, no ownership",
     {},
     {},
     {Dir::kestrin},
     {},
     conversionOffer,
     Dir::kestrin,
     true},
    {"connector agent points at a pairing without ownership",
     {},
     {{kApp, true, kPellumVar}},
     {Dir::agent},
     {},
     ready,
     Dir::agent,
     true},
    {"connector agent through KESTRIN_CONFIG_DIR",
     {},
     {{kApp, true, kKestrinVar, Dir::kestrin}},
     {Dir::kestrin},
     {},
     ready,
     Dir::kestrin,
     true},
    {"owned and pending, no agent",
     {},
     {},
     {Dir::pellum},
     {{Dir::pellum, kPending}},
     pairing,
     Dir::pellum,
     true},
    {"owned and pending, connector agent",
     {},
     {{kApp, true, kPellumVar, Dir::pellum}},
     {Dir::pellum},
     {{Dir::pellum, kPending}},
     pairing,
     Dir::pellum,
     true},
    {"owned and pending, CLI agent names it",
     {},
     {{kCli, false, kPellumVar, Dir::pellum}},
     {Dir::pellum},
     {{Dir::pellum, kPending}},
     conversionOffer,
     Dir::pellum,
     true},
    {"owned and complete",
     {},
     {},
     {Dir::pellum},
     {{Dir::pellum, kComplete}},
     ready,
     Dir::pellum,
     true},
    {"CLI agent without a directory still names .pellum",
     {},
     {{kCli, false, ""}},
     {Dir::pellum},
     {{Dir::pellum, kComplete}},
     conversionOffer,
     Dir::pellum,
     true},
    {"ownership of another device",
     {},
     {},
     {Dir::pellum},
     {{Dir::pellum, kOtherDevice}},
     conversionOffer,
     Dir::pellum,
     true},
    {"ownership of another endpoint",
     {},
     {},
     {Dir::pellum},
     {{Dir::pellum, kOtherEndpoint}},
     conversionOffer,
     Dir::pellum,
     true},
    {"ownership file that is not JSON",
     {},
     {},
     {Dir::pellum},
     {{Dir::pellum, kNotJSON}},
     conversionOffer,
     Dir::pellum,
     true},
    {".pellum wins over .kestrin",
     {},
     {},
     {Dir::pellum, Dir::kestrin},
     {{Dir::pellum, kComplete}},
     ready,
     Dir::pellum,
     true},
    {"the chosen directory wins",
     Dir::chosen,
     {},
     {Dir::chosen, Dir::pellum},
     {{Dir::chosen, kComplete}},
     ready,
     Dir::chosen,
     true},
    {"an empty chosen directory is passed over",
     Dir::chosen,
     {},
     {Dir::pellum},
     {{Dir::pellum, kComplete}},
     ready,
     Dir::pellum,
     true},
    {"an agent's pairing wins over .pellum",
     {},
     {{kCli, false, kKestrinVar}},
     {Dir::agent, Dir::pellum},
     {{Dir::pellum, kComplete}},
     conversionOffer,
     Dir::agent,
     true},
    {"both agents name it: the CLI's counts",
     {},
     {{kApp, true, kPellumVar}, {kCli, false, kKestrinVar}},
     {Dir::agent},
     {{Dir::agent, kComplete}},
     conversionOffer,
     Dir::agent,
     true},
    {"the app's label running another program",
     {},
     {{kApp, false, kPellumVar}},
     {Dir::agent},
     {{Dir::agent, kComplete}},
     conversionOffer,
     Dir::agent,
     true},
    {"the CLI's label running the connector",
     {},
     {{kCli, true, kPellumVar}},
     {Dir::agent},
     {},
     ready,
     Dir::agent,
     true},
    {"the chosen directory written differently from the agent's",
     Dir::chosenWithSlash,
     {{kApp, true, kPellumVar, Dir::chosen}},
     {Dir::chosen},
     {},
     ready,
     Dir::chosen,
     true},
    {"a relative agent directory is in the home directory",
     {},
     {{kApp, true, kPellumVar, Dir::relative}},
     {Dir::relative},
     {},
     ready,
     Dir::relative,
     true},
    {"an empty agent directory means .pellum",
     {},
     {{kApp, true, kPellumVar, Dir::blank}},
     {Dir::pellum},
     {},
     ready,
     Dir::pellum,
     true},
};

class FirstRunInspectTest : public ::testing::TestWithParam<AgentFormat> {
protected:
  fs::path path(Dir dir) const {
    switch (dir) {
    case Dir::pellum:
    case Dir::blank:
      return home / ".pellum";
    case Dir::kestrin:
      return home / ".kestrin";
    case Dir::chosen:
      return temp.path() / "chosen";
    case Dir::chosenWithSlash:
      return temp.path() / "chosen" / "";
    case Dir::agent:
      return temp.path() / "agent dir";
    case Dir::relative:
      return home / "rel";
    }
    return {};
  }

  std::string agentValue(Dir dir) const {
    if (dir == Dir::relative) {
      return "rel";
    }
    return dir == Dir::blank ? "" : path(dir).string();
  }

  void arrange(const Case &c) {
    fs::create_directories(home);
    for (const AgentSpec &agent : c.agents) {
      Environment environment = {{"HOME", home.string()}};
      if (!agent.variable.empty()) {
        environment[agent.variable] = agentValue(agent.dir);
      }
      std::vector<std::string> program = {kConnector, "start"};
      if (!agent.connector) {
        program = {kNode, "/usr/local/lib/node_modules/pellum-cli/dist/main.js", "start"};
      }
      writeAgent(GetParam(), home, agent.label, program, environment);
    }
    for (Dir dir : c.configs) {
      ConfigStore store(path(dir));
      store.prepare();
      store.save(sampleDevice());
    }
    for (const auto &[dir, text] : c.ownership) {
      writeText(path(dir) / "mac-app.json", text);
    }
  }

  FirstRunInspection inspect(std::optional<fs::path> chosen = std::nullopt) const {
    return FirstRun::inspect(*launchService(GetParam(), home), chosen);
  }

  TempDir temp;
  fs::path home = temp.path() / "home";
};

TEST_P(FirstRunInspectTest, SituationsOnDisk) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(temp.path() / "home");
    fs::remove_all(temp.path() / "chosen");
    fs::remove_all(temp.path() / "agent dir");
    arrange(c);
    std::optional<fs::path> chosen;
    if (c.chosen) {
      chosen = path(*c.chosen);
    }
    FirstRunInspection found = inspect(chosen);
    EXPECT_EQ(found.phase, c.phase);
    EXPECT_EQ(absoluteLexicalPath(found.store.directory()), absoluteLexicalPath(path(c.store)));
    ASSERT_EQ(found.device.has_value(), c.device);
    if (c.device) {
      EXPECT_EQ(*found.device, sampleDevice());
    }
  }
}

TEST_P(FirstRunInspectTest, UnreadableAgentFileIsThrown) {
  fs::path file = launchService(GetParam(), home)->agentFile(LaunchService::cliLabel);
  // A directory where the file should be cannot be read in either format.
  fs::create_directories(file);
  EXPECT_THROW(inspect(), std::system_error);
}

TEST_P(FirstRunInspectTest, UnloadableRecordIsThrown) {
  ConfigStore store(home / ".pellum");
  store.prepare();
  writeText(store.file(), R"({"id":"dev-1"})");
  EXPECT_ANY_THROW(inspect());
  writeText(store.file(), nlohmann::json(sampleDevice("http://insecure.example")).dump());
  try {
    inspect();
    FAIL() << "no error";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message, "Service URL must be an HTTPS origin.");
  }
}

INSTANTIATE_TEST_SUITE_P(BothFormats, FirstRunInspectTest,
                         ::testing::Values(AgentFormat::propertyList, AgentFormat::unitFile),
                         [](const auto &info) {
                           return info.param == AgentFormat::propertyList ? "PropertyList"
                                                                          : "UnitFile";
                         });

TEST(FirstRunInspectPropertyList, AFileThatIsNotAPropertyListIsThrown) {
  TempDir temp;
  fs::path home = temp.path();
  fs::path file = launchService(AgentFormat::propertyList, home)->agentFile(LaunchService::label);
  fs::create_directories(file.parent_path());
  writeText(file, "not a property list");
  EXPECT_THROW(FirstRun::inspect(*launchService(AgentFormat::propertyList, home), std::nullopt),
               ConnectorError);
}

TEST(FirstRunInspectPlatform, ReadsThisSystemsAgentFiles) {
  TempDir temp;
  fs::path home = temp.path();
  LaunchSettings settings;
  settings.home = home;
  std::unique_ptr<LaunchService> native =
      LaunchService::create(ConfigStore(home / ".pellum"), fs::path(), settings);
  fs::path agentDirectory = temp.path() / "agent dir";
  AgentFormat format = dynamic_cast<LaunchdService *>(native.get()) != nullptr
                           ? AgentFormat::propertyList
                           : AgentFormat::unitFile;
  writeAgent(format, home, LaunchService::cliLabel, {kNode, "main.js", "start"},
             {{"PELLUM_CONFIG_DIR", agentDirectory.string()}});
  FirstRunInspection found = FirstRun::inspect(home, std::nullopt);
  EXPECT_EQ(found.phase, FirstRunPhase::loginRequired);
  EXPECT_EQ(found.store.directory(), agentDirectory);
}

} // namespace
} // namespace pellum::test
