#include "LaunchFixture.h"

#include "launch/SystemdService.h"
#include "launch/UnitFile.h"
#include "support/ConnectorError.h"

#include <gmock/gmock.h>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class SystemdServiceTest : public LaunchFixture {
protected:
  SystemdService service() { return SystemdService(store, executable, settings("fake_systemctl")); }
  fs::path unitDirectory() const { return home / ".config/systemd/user"; }
  fs::path agentFile() const { return unitDirectory() / "org.zendrel.pellum.service"; }
  fs::path cliAgentFile() const { return unitDirectory() / "org.zendrel.kestrin.service"; }

  void writeAgent(const fs::path &file, const fs::path &program) {
    fs::create_directories(file.parent_path());
    writeText(file, SystemdService::definition(program, cloudflared, directory, home));
  }
};

const std::string kShow = "--user show -p LoadState -p ActiveState -p SubState ";

TEST_F(SystemdServiceTest, DefinitionIsTheUserUnit) {
  EXPECT_EQ(SystemdService::definition("/opt/pellum/PellumConnector",
                                       "/home/ann/.pellum/bin/cloudflared", "/home/ann/.pellum",
                                       "/home/ann"),
            "[Unit]\n"
            "Description=Pellum connector\n"
            "\n"
            "[Service]\n"
            "ExecStart=\"/opt/pellum/PellumConnector\" \"start\" \"--cloudflared\" "
            "\"/home/ann/.pellum/bin/cloudflared\"\n"
            "Environment=\"HOME=/home/ann\" "
            "\"PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin\" "
            "\"PELLUM_CONFIG_DIR=/home/ann/.pellum\"\n"
            "WorkingDirectory=/home/ann\n"
            "Restart=on-failure\n"
            "RestartSec=30\n"
            "StandardOutput=append:/home/ann/.pellum/service.log\n"
            "StandardError=append:/home/ann/.pellum/service-error.log\n"
            "\n"
            "[Install]\n"
            "WantedBy=default.target\n");
}

TEST_F(SystemdServiceTest, DefinitionQuotesPathsSoTheyReadBackIntact) {
  const std::string odd = "/tmp/a b/100% \"q\" $HOME \\n 'x'\tü";
  std::string unit = SystemdService::definition(odd + "/PellumConnector", odd + "/cloudflared",
                                                "/home/%u/.pellum", "/home/%u");
  EXPECT_NE(
      unit.find("ExecStart=\"/tmp/a b/100%% \\\"q\\\" $$HOME \\\\n 'x'\\tü/PellumConnector\""),
      std::string::npos);
  EXPECT_NE(unit.find("\"PELLUM_CONFIG_DIR=/home/%%u/.pellum\""), std::string::npos);
  EXPECT_NE(unit.find("WorkingDirectory=/home/%%u\n"), std::string::npos);
  LaunchService::Agent agent = SystemdService::decodeAgent(unit);
  EXPECT_THAT(agent.programArguments, ElementsAre(odd + "/PellumConnector", "start",
                                                  "--cloudflared", odd + "/cloudflared"));
  EXPECT_EQ(agent.environmentVariables.at("PELLUM_CONFIG_DIR"), "/home/%u/.pellum");
  EXPECT_EQ(agent.environmentVariables.at("HOME"), "/home/%u");

  // Settings written without quotes cannot hold these.
  EXPECT_THROW(SystemdService::definition("/x/PellumConnector", "/x/c", "/x/d", "/home/a\nb"),
               ConnectorError);
  EXPECT_THROW(SystemdService::definition("/x/PellumConnector", "/x/c", "/x/d", "/home/a "),
               ConnectorError);
}

TEST_F(SystemdServiceTest, InstallWritesEnablesAndStartsTheUnit) {
  service().install(cloudflared, false);

  EXPECT_EQ(readText(agentFile()),
            SystemdService::definition(executable, cloudflared, directory, home));
  EXPECT_EQ(permissionsOf(agentFile()), fs::perms::owner_read | fs::perms::owner_write);
  for (const char *log : {"service.log", "service-error.log"}) {
    EXPECT_EQ(permissionsOf(directory / log), fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_THAT(calls("systemctl"),
              ElementsAre("--user show-environment", kShow + "org.zendrel.kestrin.service",
                          kShow + "org.zendrel.pellum.service", "--user daemon-reload",
                          "--user enable org.zendrel.pellum.service",
                          "--user restart org.zendrel.pellum.service"));
  EXPECT_TRUE(service().startsAtLogin());
  EXPECT_EQ(service().status(),
            "Connector: active (running)\nLogs: " + (directory / "service-error.log").string());
}

TEST_F(SystemdServiceTest, InstallReplacesTheCliUnit) {
  writeAgent(cliAgentFile(), "/usr/bin/node");
  fs::create_directories(unitDirectory() / "default.target.wants");
  fs::create_symlink(cliAgentFile(),
                     unitDirectory() / "default.target.wants" / "org.zendrel.kestrin.service");
  writeText(state / "units/org.zendrel.kestrin.service", "active running");
  writeText(state / "start-failures", "2");

  service().install(cloudflared, false);

  EXPECT_EQ(readText(state / "units/org.zendrel.kestrin.service"), "inactive dead");
  EXPECT_FALSE(fs::exists(cliAgentFile()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(unitDirectory() / "default.target.wants" /
                                             "org.zendrel.kestrin.service")));
  EXPECT_THAT(sleeps, ElementsAre(0.2, 0.2));
  auto log = calls("systemctl");
  EXPECT_EQ(log.at(2), "--user stop org.zendrel.kestrin.service");
  EXPECT_EQ(log.back(), "--user disable org.zendrel.kestrin.service");
}

TEST_F(SystemdServiceTest, WithoutAUserManagerInstallSaysSoAndWritesNothing) {
  writeText(state / "unreachable", "");
  LaunchSettings noSystemctl = settings("fake_systemctl");
  noSystemctl.manager = temp.path() / "missing" / "systemctl";
  for (const SystemdService &launch : {service(), SystemdService(store, executable, noSystemctl)}) {
    try {
      launch.install(cloudflared, false);
      ADD_FAILURE() << "install succeeded";
    } catch (const ConnectorError &error) {
      EXPECT_EQ(error.message,
                "No systemd user service manager can be reached here, so the connector cannot "
                "start at login; run PellumConnector start instead.");
    }
  }
  EXPECT_FALSE(fs::exists(home / ".config"));
  EXPECT_FALSE(fs::exists(directory));
  EXPECT_FALSE(service().installed());
  EXPECT_EQ(service().status(), "Connector is not installed.");
  EXPECT_FALSE(service().startsAtLogin());
}

TEST_F(SystemdServiceTest, InstallFailuresStopAtTheirStep) {
  struct Case {
    const char *name;
    const char *scriptFile;
    std::string message;
    bool agentWritten;
  };
  const Case cases[] = {
      {"stop", "stop-fails", "Cannot stop the existing connector service.", false},
      {"enable", "enable-fails", "Cannot enable connector at login.", true},
      {"start", "start-failures",
       "Cannot register the connector with systemd (exit 1). Job for org.zendrel.pellum.service "
       "failed because the control process exited with error code.",
       true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(state);
    fs::remove_all(home / ".config");
    writeText(state / "units/org.zendrel.pellum.service", "active running");
    writeText(state / c.scriptFile, "50");
    try {
      service().install(cloudflared, false);
      ADD_FAILURE() << "install succeeded";
    } catch (const ConnectorError &error) {
      EXPECT_EQ(error.message, c.message);
    }
    EXPECT_EQ(fs::exists(agentFile()), c.agentWritten);
  }
}

TEST_F(SystemdServiceTest, StartsAtLoginNeedsOurUnitAndIsEnabled) {
  EXPECT_FALSE(service().startsAtLogin()); // no unit file
  writeAgent(agentFile(), executable);
  struct Case {
    const char *answer;
    bool expected;
  };
  const Case answers[] = {{"enabled\n", true},          {"disabled\n", false},
                          {"masked\n", false},          {"static\n", false},
                          {"enabled-runtime\n", false}, {"not-found\n", false}};
  for (const Case &c : answers) {
    SCOPED_TRACE(c.answer);
    writeText(state / "is-enabled", c.answer);
    EXPECT_EQ(service().startsAtLogin(), c.expected);
  }
  EXPECT_EQ(calls("systemctl").back(), "--user is-enabled org.zendrel.pellum.service");

  writeText(state / "is-enabled", "enabled\n");
  fs::path link = temp.path() / "link";
  fs::create_directory_symlink(executable.parent_path(), link);
  struct Unit {
    const char *name;
    std::string text;
    bool expected;
  };
  const std::string env = "Environment=\"PELLUM_CONFIG_DIR=" + directory.string() + "\"\n";
  const std::string install = "[Install]\nWantedBy=default.target\n";
  const Unit units[] = {
      {"start only", "[Service]\nExecStart=" + executable.string() + " start\n" + env + install,
       true},
      {"executable only", "[Service]\nExecStart=" + executable.string() + "\n" + env + install,
       false},
      {"through a symbolic link",
       "[Service]\nExecStart=" + (link / "PellumConnector").string() + " start\n" + env + install,
       false},
      {"other directory",
       "[Service]\nExecStart=" + executable.string() +
           " start\nEnvironment=PELLUM_CONFIG_DIR=/x\n" + install,
       false},
      {"not wanted at login", "[Service]\nExecStart=" + executable.string() + " start\n" + env,
       false},
  };
  for (const Unit &u : units) {
    SCOPED_TRACE(u.name);
    writeText(agentFile(), u.text);
    EXPECT_EQ(service().startsAtLogin(), u.expected);
  }
  writeAgent(agentFile(), executable);
  fs::remove(executable);
  EXPECT_FALSE(service().startsAtLogin());
}

TEST_F(SystemdServiceTest, StatusNamesTheAgentAndTheUnitState) {
  const std::string logs = "\nLogs: " + (directory / "service-error.log").string();
  writeAgent(cliAgentFile(), "/usr/bin/node");
  EXPECT_EQ(service().status(),
            "Existing CLI connector (choose Start connector at login to migrate): not loaded" +
                logs);
  writeText(state / "units/org.zendrel.kestrin.service", "activating auto-restart");
  EXPECT_EQ(service().status(),
            "Existing CLI connector (choose Start connector at login to migrate): activating "
            "(auto-restart)" +
                logs);
  EXPECT_EQ(calls("systemctl").back(), kShow + "org.zendrel.kestrin.service");

  writeAgent(agentFile(), executable);
  EXPECT_EQ(service().status(), "Connector: not loaded" + logs);
  writeText(state / "units/org.zendrel.pellum.service", "failed failed");
  EXPECT_EQ(service().status(), "Connector: failed (failed)" + logs);
}

TEST_F(SystemdServiceTest, UninstallStopsAndRemovesBothUnits) {
  writeAgent(agentFile(), executable);
  writeAgent(cliAgentFile(), "/usr/bin/node");
  fs::create_directories(unitDirectory() / "default.target.wants");
  fs::create_symlink(agentFile(),
                     unitDirectory() / "default.target.wants" / "org.zendrel.pellum.service");
  writeText(state / "units/org.zendrel.pellum.service", "active running");

  service().uninstall();

  EXPECT_FALSE(service().installed());
  EXPECT_TRUE(fs::is_empty(unitDirectory() / "default.target.wants"));
  EXPECT_THAT(calls("systemctl"), ElementsAre(kShow + "org.zendrel.pellum.service",
                                              "--user stop org.zendrel.pellum.service",
                                              "--user disable org.zendrel.pellum.service",
                                              kShow + "org.zendrel.kestrin.service",
                                              "--user disable org.zendrel.kestrin.service"));
}

} // namespace
} // namespace pellum::test
