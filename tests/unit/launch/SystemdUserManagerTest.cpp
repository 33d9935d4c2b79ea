#include "LaunchFixture.h"

#include "launch/SystemdService.h"
#include "platform/Command.h"
#include "platform/User.h"

namespace pellum::test {
namespace {

namespace fs = std::filesystem;

// Drives the real user service manager when this machine has one (containers usually do not).
// The manager reads units only from the user's own configuration directory, so this test writes
// there, and only when no connector unit exists yet; it removes what it made.
TEST(SystemdUserManagerTest, InstallsRunsAndRemovesTheConnectorUnit) {
  const fs::path systemctl = "/usr/bin/systemctl";
  if (!fs::exists(systemctl)) {
    GTEST_SKIP() << "systemctl is not installed";
  }
  CommandResult probe = command(systemctl, {"--user", "show-environment"}, 10, 1 << 20);
  if (probe.exitStatus != 0 || probe.signaled) {
    GTEST_SKIP() << "no systemd user service manager is reachable";
  }
  const fs::path home = homeDirectory();
  if (fs::exists(home / ".config/systemd/user/org.zendrel.pellum.service") ||
      fs::exists(home / ".config/systemd/user/org.zendrel.kestrin.service")) {
    GTEST_SKIP() << "this user already has a connector unit";
  }
  TempDir temp;
  fs::create_directories(temp.path() / "app");
  fs::copy_file(binDir() / "idle_program", temp.path() / "app/PellumConnector");
  LaunchSettings settings;
  settings.home = home;
  SystemdService service(ConfigStore(temp.path() / "config"), temp.path() / "app/PellumConnector",
                         settings);
  const std::string logs = "\nLogs: " + (temp.path() / "config/service-error.log").string();

  try {
    service.install(temp.path() / "cloudflared", false);
    EXPECT_EQ(service.status(), "Connector: active (running)" + logs);
    EXPECT_TRUE(service.startsAtLogin());
  } catch (...) {
    service.uninstall();
    throw;
  }
  service.uninstall();
  EXPECT_EQ(service.status(), "Connector is not installed.");
  EXPECT_FALSE(service.startsAtLogin());
}

} // namespace
} // namespace pellum::test
