#include "CloudSuite.h"
#include "LaunchFixture.h"
#include "OnboardingFixture.h"
#include "ScopedVariable.h"

#include "management/NativeManagement.h"
#include "onboarding/FirstRun.h"
#include "onboarding/PairingRecovery.h"
#include "platform/ChildProcess.h"
#include "service/CloudflareInstaller.h"
#include "service/ServiceAPI.h"
#include "support/ConnectorError.h"
#include "support/Files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <set>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char *kAgentUnit = "org.zendrel.pellum.service";
constexpr const char *kCliUnit = "org.zendrel.kestrin.service";

class PairingManagementTest : public LaunchFixture {
protected:
  // Management of `configDirectory` with the fake systemctl and ps, and a release feed that
  // cannot be reached, so only a kept tunnel client is ever used.
  NativeManagement management(const fs::path &configDirectory, bool realSleep = false) {
    NativeManagement::Options options;
    options.launch = settings("fake_systemctl");
    if (realSleep) {
      options.launch.sleep = nullptr;
    }
    options.installer.apiOrigin = "https://127.0.0.1:9";
    return NativeManagement(ConfigStore(configDirectory), executable, options);
  }

  // The fake tunnel client kept as the verified one of `configDirectory`.
  static fs::path keptTunnelClient(const fs::path &configDirectory) {
    return CloudflareInstaller(ConfigStore(configDirectory))
        .install("2025.1.0", readFile(binDir() / "fake_tunnel"));
  }

  fs::path unitFile(const char *unit) const { return home / ".config/systemd/user" / unit; }

  std::optional<json> ownership(const fs::path &configDirectory) const {
    std::optional<std::string> text = readText(configDirectory / "mac-app.json");
    return text ? std::optional<json>(json::parse(*text)) : std::nullopt;
  }

  FirstRunInspection inspect() const { return FirstRun::inspect(home, std::nullopt); }

  std::set<std::string> names(const fs::path &configDirectory) const {
    std::set<std::string> result;
    for (const auto &entry : fs::directory_iterator(configDirectory)) {
      result.insert(entry.path().filename().string());
    }
    return result;
  }

  DeviceConfig device = sampleDevice();
};

TEST_F(PairingManagementTest, AppPairingFromSignInToRevocation) {
  std::unique_ptr<FakeCloud> started;
  try {
    started = std::make_unique<FakeCloud>();
  } catch (const std::exception &error) {
    GTEST_SKIP() << "fake cloud unavailable: " << error.what();
  }
  const FakeCloud &cloud = *started;
  ScopedVariable trust("SSL_CERT_FILE", cloud.caFile().string());
  json answer = ServiceAPI().call(cloud.origin(), std::nullopt, "/enroll",
                                  json{{"code", std::string(43, 'c')}}, "POST");
  answer["endpoint"] = cloud.origin();
  answer["servers"] = json::array();
  DeviceConfig paired = answer.get<DeviceConfig>();

  NativeManagement manager = management(directory);
  fs::path client = keptTunnelClient(directory);
  manager.finishPairing(paired, client, "acct-1");

  EXPECT_EQ(store.load(), paired);
  EXPECT_EQ(ownership(directory), json({{"accountId", "acct-1"},
                                        {"deviceId", paired.id},
                                        {"endpoint", cloud.origin()},
                                        {"setupComplete", true}}));
  std::optional<LaunchService::Agent> agent = manager.service->readAgent(LaunchService::label);
  ASSERT_TRUE(agent);
  EXPECT_THAT(agent->programArguments,
              ElementsAre(executable.string(), "start", "--cloudflared", client.string()));
  EXPECT_EQ(agent->environmentVariables.at("PELLUM_CONFIG_DIR"), directory.string());
  EXPECT_EQ(readText(state / "units" / kAgentUnit), "active running");
  FirstRunInspection found = inspect();
  EXPECT_EQ(found.phase, FirstRunPhase::ready);
  EXPECT_EQ(found.store.directory(), directory);
  EXPECT_EQ(found.device, paired);
  std::string installation = FirstRun::installationID(store);

  EXPECT_FALSE(PairingRecovery::isRevoked(paired));
  cloud.setState({{"revoked", true}});
  EXPECT_TRUE(PairingRecovery::isRevoked(paired));
  EXPECT_TRUE(manager.resetRevokedPairing(paired));

  EXPECT_FALSE(fs::exists(unitFile(kAgentUnit)));
  EXPECT_EQ(readText(state / "units" / kAgentUnit), "inactive dead");
  EXPECT_EQ(names(directory), (std::set<std::string>{"bin", "service.log", "service-error.log"}));
  EXPECT_EQ(inspect().phase, FirstRunPhase::loginRequired);
  EXPECT_NE(FirstRun::installationID(store), installation);
}

TEST_F(PairingManagementTest, TheSamePairingAlreadyStoredIsKept) {
  DeviceConfig stored = device;
  stored.credential = "cred-earlier";
  stored.name = "Stored";
  store.prepare();
  store.save(stored);
  management(directory).finishPairing(device, cloudflared, std::nullopt);
  EXPECT_EQ(store.load(), stored);
  EXPECT_EQ(
      ownership(directory),
      json({{"deviceId", device.id}, {"endpoint", device.endpoint}, {"setupComplete", true}}));
  EXPECT_TRUE(fs::exists(unitFile(kAgentUnit)));
}

TEST_F(PairingManagementTest, AnotherPairingThatAppearedIsPreserved) {
  for (auto change : {+[](DeviceConfig &d) { d.id = "dev-2"; },
                      +[](DeviceConfig &d) { d.endpoint = "https://other.example"; }}) {
    DeviceConfig other = device;
    change(other);
    store.prepare();
    store.save(other);
    EXPECT_EQ(
        connectorError([&] { management(directory).finishPairing(device, cloudflared, "a"); }),
        std::make_pair(std::string("An existing pairing appeared during setup. It was "
                                   "preserved; restart the app to convert it."),
                       400));
    EXPECT_EQ(store.load(), other);
    EXPECT_FALSE(fs::exists(directory / "mac-app.json"));
  }
  EXPECT_TRUE(calls("systemctl").empty());
}

TEST_F(PairingManagementTest, AFailedInstallLeavesThePairingPending) {
  writeText(state / "enable-fails", "");
  EXPECT_EQ(
      connectorError([&] { management(directory).finishPairing(device, cloudflared, "acct-1"); }),
      std::make_pair(std::string("Cannot enable connector at login."), 400));
  EXPECT_EQ(ownership(directory), json({{"accountId", "acct-1"},
                                        {"deviceId", device.id},
                                        {"endpoint", device.endpoint},
                                        {"setupComplete", false}}));
  EXPECT_EQ(inspect().phase, FirstRunPhase::pairing);

  // The next start finishes the setup with the record already stored.
  fs::remove(state / "enable-fails");
  management(directory).finishPairing(device, cloudflared, std::nullopt);
  EXPECT_EQ(inspect().phase, FirstRunPhase::ready);
  EXPECT_EQ(FirstRun::accountID(store, device), "acct-1");
}

TEST_F(PairingManagementTest, ConversionTakesOverTheCommandLinePairing) {
  fs::path legacy = home / ".kestrin";
  ConfigStore legacyStore(legacy);
  legacyStore.prepare();
  legacyStore.save(device);
  fs::path client = keptTunnelClient(legacy);
  writeAgent(AgentFormat::unitFile, home, LaunchService::cliLabel,
             {"/usr/local/bin/node", "/usr/local/lib/pellum-cli/dist/main.js", "start"},
             {{"KESTRIN_CONFIG_DIR", legacy.string()}});
  writeText(state / "units" / kCliUnit, "active running");
  // A connector in a terminal, as the command line runs it.
  ChildProcess::Options program;
  program.executable = executable.string();
  program.arguments = {"start"};
  ChildProcess foreground(program);
  writeText(legacy / "running.pid", std::to_string(foreground.pid()) + "\n");

  FirstRunInspection before = inspect();
  EXPECT_EQ(before.phase, FirstRunPhase::conversionOffer);
  EXPECT_EQ(before.store.directory(), legacy);

  NativeManagement manager = management(legacy, true);
  EXPECT_EQ(manager.convertExistingPairing(), device);

  foreground.wait();
  EXPECT_TRUE(foreground.status().signaled);
  EXPECT_EQ(foreground.status().code, SIGTERM);
  EXPECT_THAT(calls("systemctl"), Contains(std::string("--user stop ") + kCliUnit));
  EXPECT_FALSE(fs::exists(unitFile(kCliUnit)));
  std::optional<LaunchService::Agent> agent = manager.service->readAgent(LaunchService::label);
  ASSERT_TRUE(agent);
  EXPECT_THAT(agent->programArguments,
              ElementsAre(executable.string(), "start", "--cloudflared", client.string()));
  EXPECT_EQ(agent->environmentVariables.at("PELLUM_CONFIG_DIR"), legacy.string());
  EXPECT_EQ(
      ownership(legacy),
      json({{"deviceId", device.id}, {"endpoint", device.endpoint}, {"setupComplete", true}}));
  EXPECT_EQ(legacyStore.load(), device);

  FirstRunInspection after = inspect();
  EXPECT_EQ(after.phase, FirstRunPhase::ready);
  EXPECT_EQ(after.store.directory(), legacy);
}

TEST_F(PairingManagementTest, ConversionNeedsTheConnectorExecutable) {
  store.prepare();
  store.save(device);
  fs::remove(executable);
  EXPECT_THAT(connectorError([&] { management(directory).convertExistingPairing(); }).first,
              HasSubstr("Connector executable is missing at " + executable.string()));
  EXPECT_FALSE(fs::exists(directory / "mac-app.json"));
  EXPECT_TRUE(calls("systemctl").empty());
}

TEST_F(PairingManagementTest, ResetLeavesAPairingThatChangedSinceTheCheck) {
  NativeManagement manager = management(directory);
  manager.finishPairing(device, cloudflared, "acct-1");
  FirstRun::installationID(store);
  DeviceConfig repaired = device;
  repaired.credential = "cred-after-new-sign-in";
  store.save(repaired);
  std::set<std::string> before = names(directory);
  std::size_t callsBefore = calls("systemctl").size();

  EXPECT_FALSE(manager.resetRevokedPairing(device));
  EXPECT_EQ(names(directory), before);
  EXPECT_EQ(store.load(), repaired);
  EXPECT_TRUE(fs::exists(unitFile(kAgentUnit)));
  EXPECT_EQ(calls("systemctl").size(), callsBefore);
}

TEST_F(PairingManagementTest, ResetWithoutAgentOrRunningConnector) {
  store.prepare();
  store.save(device);
  FirstRun::markOwned(store, device, true, "acct-1");
  FirstRun::installationID(store);
  writeText(directory / "secrets.env", "TOKEN=x\n");
  writeText(directory / "service.log", "");
  writeText(directory / "service-error.log", "");
  keptTunnelClient(directory);

  EXPECT_TRUE(management(directory).resetRevokedPairing(device));
  EXPECT_EQ(names(directory), (std::set<std::string>{"bin", "service.log", "service-error.log"}));
  EXPECT_THAT(calls("systemctl"), Not(Contains(HasSubstr(" stop "))));
  EXPECT_TRUE(calls("ps").empty());
  EXPECT_EQ(inspect().phase, FirstRunPhase::loginRequired);
}

} // namespace
} // namespace pellum::test
