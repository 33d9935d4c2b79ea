#include "LaunchFixture.h"

#include "launch/LaunchdService.h"
#include "launch/PropertyList.h"
#include "support/ConnectorError.h"

#include <gmock/gmock.h>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class LaunchdServiceTest : public LaunchFixture {
protected:
  LaunchdService service() { return LaunchdService(store, executable, settings("fake_launchctl")); }
  fs::path agentFile() const { return home / "Library/LaunchAgents/org.zendrel.pellum.plist"; }
  fs::path cliAgentFile() const { return home / "Library/LaunchAgents/org.zendrel.kestrin.plist"; }
  std::string target(const std::string &label) const { return "gui/" + uid() + "/" + label; }

  void writeAgent(const fs::path &file, const fs::path &program) {
    fs::create_directories(file.parent_path());
    writeText(file, LaunchdService::definition(program, cloudflared, directory, home));
  }
};

TEST_F(LaunchdServiceTest, DefinitionIsTheAgentPropertyList) {
  std::string expected = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>EnvironmentVariables</key>
	<dict>
		<key>HOME</key>
		<string>/Users/ann &amp; co</string>
		<key>PATH</key>
		<string>/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin</string>
		<key>PELLUM_CONFIG_DIR</key>
		<string>/Users/ann &amp; co/.pellum</string>
	</dict>
	<key>KeepAlive</key>
	<dict>
		<key>SuccessfulExit</key>
		<false/>
	</dict>
	<key>Label</key>
	<string>org.zendrel.pellum</string>
	<key>ProcessType</key>
	<string>Background</string>
	<key>ProgramArguments</key>
	<array>
		<string>/Applications/Pellum.app/Contents/Helpers/PellumConnector</string>
		<string>start</string>
		<string>--cloudflared</string>
		<string>/Users/ann &amp; co/.pellum/bin/native-arm64/cloudflared</string>
	</array>
	<key>RunAtLoad</key>
	<true/>
	<key>StandardErrorPath</key>
	<string>/Users/ann &amp; co/.pellum/service-error.log</string>
	<key>StandardOutPath</key>
	<string>/Users/ann &amp; co/.pellum/service.log</string>
	<key>ThrottleInterval</key>
	<integer>30</integer>
	<key>WorkingDirectory</key>
	<string>/Users/ann &amp; co</string>
</dict>
</plist>
)";
  EXPECT_EQ(LaunchdService::definition("/Applications/Pellum.app/Contents/Helpers/PellumConnector",
                                       "/Users/ann & co/.pellum/bin/native-arm64/cloudflared",
                                       "/Users/ann & co/.pellum", "/Users/ann & co"),
            expected);
}

TEST_F(LaunchdServiceTest, InstallWritesStartsAndEnablesTheAgent) {
  service().install(cloudflared, false);

  EXPECT_EQ(readText(agentFile()),
            LaunchdService::definition(executable, cloudflared, directory, home));
  EXPECT_EQ(permissionsOf(agentFile()), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(permissionsOf(directory), fs::perms::owner_all);
  for (const char *log : {"service.log", "service-error.log"}) {
    EXPECT_EQ(readText(directory / log), "");
    EXPECT_EQ(permissionsOf(directory / log), fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_THAT(calls("launchctl"),
              ElementsAre("print " + target("org.zendrel.kestrin"),
                          "print " + target("org.zendrel.pellum"),
                          "enable " + target("org.zendrel.pellum"),
                          "bootstrap gui/" + uid() + " " + agentFile().string()));
  EXPECT_TRUE(sleeps.empty());
  EXPECT_TRUE(service().installed());
  EXPECT_TRUE(service().startsAtLogin());
  EXPECT_EQ(service().status(),
            "Connector: state = running\nLogs: " + (directory / "service-error.log").string());
}

TEST_F(LaunchdServiceTest, InstallTakesDownBothAgentsAndRemovesTheCliAgentLast) {
  writeAgent(cliAgentFile(), "/usr/local/bin/node");
  writeText(state / "loaded/org.zendrel.kestrin", "running");
  writeText(state / "loaded/org.zendrel.pellum", "running");
  // An existing log keeps its content but loses wider permissions.
  fs::create_directories(directory);
  writeText(directory / "service.log", "old line\n");
  fs::permissions(directory / "service.log", fs::perms(0644));

  service().install(cloudflared, false);

  EXPECT_THAT(calls("launchctl"),
              ElementsAre("print " + target("org.zendrel.kestrin"),
                          "bootout " + target("org.zendrel.kestrin"),
                          "print " + target("org.zendrel.pellum"),
                          "bootout " + target("org.zendrel.pellum"),
                          "enable " + target("org.zendrel.pellum"),
                          "bootstrap gui/" + uid() + " " + agentFile().string()));
  EXPECT_FALSE(fs::exists(cliAgentFile()));
  EXPECT_FALSE(fs::exists(state / "loaded/org.zendrel.kestrin"));
  EXPECT_EQ(readText(directory / "service.log"), "old line\n");
  EXPECT_EQ(permissionsOf(directory / "service.log"), fs::perms(0600));
}

TEST_F(LaunchdServiceTest, BootstrapIsRetriedUntilLaunchdAcceptsTheAgent) {
  writeText(state / "bootstrap-failures", "2");
  service().install(cloudflared, false);
  EXPECT_THAT(sleeps, ElementsAre(0.2, 0.2));
  EXPECT_EQ(readText(state / "loaded/org.zendrel.pellum"), "running");
}

TEST_F(LaunchdServiceTest, InstallFailuresStopAtTheirStep) {
  struct Case {
    const char *name;
    const char *scriptFile;
    std::string message;
    bool agentWritten;
    std::size_t sleepCount;
  };
  const Case cases[] = {
      {"bootout", "bootout-fails", "Cannot stop the existing connector service.", false, 0},
      {"enable", "enable-fails", "Cannot enable connector at login.", true, 0},
      {"bootstrap", "bootstrap-failures",
       "Cannot register the connector with launchd (exit 5). Bootstrap failed: 5: Input/output "
       "error",
       true, 49},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(state);
    fs::remove_all(home / "Library");
    sleeps.clear();
    writeText(state / "loaded/org.zendrel.kestrin", "running");
    writeText(state / c.scriptFile, "50");
    try {
      service().install(cloudflared, false);
      ADD_FAILURE() << "install succeeded";
    } catch (const ConnectorError &error) {
      EXPECT_EQ(error.message, c.message);
      EXPECT_EQ(error.status, 400);
    }
    EXPECT_EQ(fs::exists(agentFile()), c.agentWritten);
    EXPECT_EQ(sleeps.size(), c.sleepCount);
  }
}

TEST_F(LaunchdServiceTest, MissingExecutableFailsBeforeLaunchdIsTouched) {
  fs::remove(executable);
  try {
    service().install(cloudflared, false);
    FAIL() << "install succeeded";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message, "Connector executable is missing at " + executable.string() +
                                 ". Build the Pellum scheme with its PellumConnector helper, or "
                                 "rebuild the app using macOS/scripts/build.");
  }
  EXPECT_TRUE(calls("launchctl").empty());
  EXPECT_FALSE(fs::exists(agentFile()));
}

TEST_F(LaunchdServiceTest, StartsAtLoginFollowsTheFileAndLaunchdsDisabledServices) {
  struct Case {
    const char *name;
    std::string printDisabled; // empty: launchctl fails
    bool expected;
  };
  const std::string pellum = "\t\"org.zendrel.pellum\" => ";
  const Case cases[] = {
      {"disabled", "disabled services = {\n" + pellum + "disabled\n}\n", false},
      {"true", "disabled services = {\n" + pellum + "true\n}\n", false},
      {"enabled", "disabled services = {\n" + pellum + "enabled\n}\n", true},
      {"false", "disabled services = {\n" + pellum + "false\n}\n", true},
      {"other label only", "disabled services = {\n\t\"org.zendrel.kestrin\" => disabled\n}\n",
       true},
      {"undecided, then decided", "{\n" + pellum + "maybe\n" + pellum + "disabled\n}\n", false},
      {"two arrows", "{\n" + pellum + "disabled => x\n}\n", true},
      {"print-disabled fails", "", false},
  };
  writeAgent(agentFile(), executable);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(state / "print-disabled-fails");
    if (c.printDisabled.empty()) {
      writeText(state / "print-disabled-fails", "");
    }
    writeText(state / "print-disabled", c.printDisabled);
    EXPECT_EQ(service().startsAtLogin(), c.expected);
  }
  EXPECT_EQ(calls("launchctl").back(), "print-disabled gui/" + uid());
}

TEST_F(LaunchdServiceTest, StartsAtLoginNeedsThisExecutableAndDirectory) {
  fs::path link = temp.path() / "link";
  fs::create_directory_symlink(executable.parent_path(), link);
  struct Case {
    const char *name;
    std::vector<std::string> programArguments;
    std::string configDirectory;
    bool expected;
  };
  const Case cases[] = {
      {"full command", {executable.string(), "start", "--cloudflared", "/x"}, directory, true},
      {"start only", {executable.string(), "start"}, directory, true},
      {"executable only", {executable.string()}, directory, false},
      {"through a symbolic link", {(link / "PellumConnector").string(), "start"}, directory, false},
      {"other directory", {executable.string(), "start"}, (home / ".kestrin").string(), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PropertyList agent = PropertyList::dictionary();
    agent.setString("Label", "org.zendrel.pellum");
    agent.setBoolean("RunAtLoad", true);
    agent.setStrings("ProgramArguments", c.programArguments);
    agent.setStringDictionary("EnvironmentVariables", {{"PELLUM_CONFIG_DIR", c.configDirectory}});
    EXPECT_EQ(LaunchdService::isConfiguredAtLogin(agent, "", executable, directory), c.expected);
  }

  PropertyList disabled = PropertyList::dictionary();
  disabled.setString("Label", "org.zendrel.pellum");
  disabled.setBoolean("RunAtLoad", true);
  disabled.setStrings("ProgramArguments", {executable.string(), "start"});
  disabled.setStringDictionary("EnvironmentVariables", {{"PELLUM_CONFIG_DIR", directory}});
  disabled.setBoolean("Disabled", true);
  EXPECT_FALSE(LaunchdService::isConfiguredAtLogin(disabled, "", executable, directory));
  EXPECT_TRUE(LaunchdService::isConfiguredAtLogin(disabled, "\"org.zendrel.pellum\" => enabled",
                                                  executable, directory));
}

TEST_F(LaunchdServiceTest, StartsAtLoginWithoutAUsableFileOrExecutable) {
  EXPECT_FALSE(service().startsAtLogin()); // no file
  fs::create_directories(agentFile().parent_path());
  writeText(agentFile(), "<array/>"); // not a dictionary
  EXPECT_FALSE(service().startsAtLogin());
  writeText(agentFile(), "not a property list");
  EXPECT_THROW(service().startsAtLogin(), ConnectorError);
  writeAgent(agentFile(), executable);
  fs::remove(executable);
  EXPECT_FALSE(service().startsAtLogin());
  EXPECT_TRUE(calls("launchctl").empty());
}

TEST_F(LaunchdServiceTest, StatusNamesTheAgentAndLaunchdsState) {
  EXPECT_EQ(service().status(), "Connector is not installed.");
  const std::string logs = "\nLogs: " + (directory / "service-error.log").string();

  writeAgent(cliAgentFile(), "/usr/local/bin/node");
  EXPECT_EQ(service().status(),
            "Existing CLI connector (choose Start connector at login to migrate): not loaded" +
                logs);
  writeText(state / "loaded/org.zendrel.kestrin", "waiting");
  EXPECT_EQ(service().status(),
            "Existing CLI connector (choose Start connector at login to migrate): state = "
            "waiting" +
                logs);
  EXPECT_EQ(calls("launchctl").back(), "print " + target("org.zendrel.kestrin"));

  writeAgent(agentFile(), executable);
  EXPECT_EQ(service().status(), "Connector: not loaded" + logs);
  writeText(state / "loaded/org.zendrel.pellum", "running");
  EXPECT_EQ(service().status(), "Connector: state = running" + logs);

  writeText(agentFile(), "garbage");
  EXPECT_THROW(service().status(), ConnectorError);
}

TEST_F(LaunchdServiceTest, UninstallRemovesBothAgents) {
  writeAgent(agentFile(), executable);
  writeAgent(cliAgentFile(), "/usr/local/bin/node");
  writeText(state / "loaded/org.zendrel.pellum", "running");
  service().uninstall();
  EXPECT_FALSE(fs::exists(agentFile()));
  EXPECT_FALSE(fs::exists(cliAgentFile()));
  EXPECT_FALSE(service().installed());
  EXPECT_THAT(calls("launchctl"), ElementsAre("print " + target("org.zendrel.pellum"),
                                              "bootout " + target("org.zendrel.pellum"),
                                              "print " + target("org.zendrel.kestrin")));
}

TEST_F(LaunchdServiceTest, ReadAgentGivesProgramAndEnvironment) {
  EXPECT_EQ(service().readAgent("org.zendrel.pellum"), std::nullopt);
  writeAgent(agentFile(), executable);
  auto agent = service().readAgent("org.zendrel.pellum");
  ASSERT_TRUE(agent);
  EXPECT_THAT(agent->programArguments,
              ElementsAre(executable.string(), "start", "--cloudflared", cloudflared.string()));
  EXPECT_EQ(agent->environmentVariables.at("PELLUM_CONFIG_DIR"), directory.string());

  // Wrongly typed entries read as absent.
  PropertyList odd = PropertyList::dictionary();
  odd.setString("ProgramArguments", "/bin/sh");
  odd.setDictionary("EnvironmentVariables", PropertyList::dictionary());
  odd.setStrings("Other", {});
  LaunchService::Agent decoded = LaunchdService::decodeAgent(odd.xml());
  EXPECT_TRUE(decoded.programArguments.empty());
  EXPECT_TRUE(decoded.environmentVariables.empty());
}

} // namespace
} // namespace pellum::test
