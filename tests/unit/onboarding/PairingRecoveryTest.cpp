#include "../management/ManagementFixture.h"
#include "OnboardingFixture.h"
#include "ScopedVariable.h"

#include "onboarding/FirstRun.h"
#include "onboarding/PairingRecovery.h"
#include "service/ServiceAPI.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A device enrolled with `cloud`, as the app's automatic pairing obtains it.
DeviceConfig enrolledDevice(const FakeCloud &cloud) {
  json answer = ServiceAPI().call(cloud.origin(), std::nullopt, "/enroll",
                                  json{{"code", std::string(43, 'a')}}, "POST");
  answer["endpoint"] = cloud.origin();
  answer["servers"] = json::array();
  return answer.get<DeviceConfig>();
}

// An origin on 127.0.0.1 where nothing listens.
std::string unreachableOrigin() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  ::close(fd);
  return "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

class RevocationCheckTest : public CloudSuite {
protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (cloud_) {
      trust_ = std::make_unique<ScopedVariable>("SSL_CERT_FILE", cloud_->caFile().string());
    }
  }

  std::unique_ptr<ScopedVariable> trust_;
};

TEST_F(RevocationCheckTest, OnlyAnExplicit401Revokes) {
  DeviceConfig device = enrolledDevice(*cloud_);
  EXPECT_FALSE(PairingRecovery::isRevoked(device));
  json call = cloud_->calls().back();
  EXPECT_EQ(call["method"], "GET");
  EXPECT_EQ(call["path"], "/connector/status");
  EXPECT_EQ(call["headers"]["authorization"], "Bearer " + device.credential);

  DeviceConfig unknown = device;
  unknown.credential = "cred-never-issued";
  EXPECT_TRUE(PairingRecovery::isRevoked(unknown));

  struct Case {
    int status;
    bool revoked;
  } cases[] = {{401, true}, {403, false}, {404, false}, {500, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.status);
    cloud_->setState({{"force", {{"/status", c.status}}}});
    EXPECT_EQ(PairingRecovery::isRevoked(device), c.revoked);
  }
  cloud_->reset();
  EXPECT_FALSE(PairingRecovery::isRevoked(device));
}

TEST_F(RevocationCheckTest, FailuresBelowTheServiceAreNotRevocation) {
  DeviceConfig device = sampleDevice(unreachableOrigin());
  EXPECT_FALSE(PairingRecovery::isRevoked(device));
  device.endpoint = "http://127.0.0.1:" + std::to_string(cloud_->port());
  EXPECT_FALSE(PairingRecovery::isRevoked(device));
  // The service's certificate is not trusted without its authority.
  ScopedVariable distrust("SSL_CERT_FILE", "/nonexistent/ca.pem");
  device.endpoint = cloud_->origin();
  device.credential = "cred-never-issued";
  EXPECT_FALSE(PairingRecovery::isRevoked(device));
}

class PairingClearTest : public ::testing::Test {
protected:
  void SetUp() override {
    store.prepare();
    store.save(device);
    for (const char *name : {"mac-installation-id", "mac-app.json", "secrets.env", "running.pid",
                             "service.log", "service-error.log", "native.lock"}) {
      writeText(directory / name, "x");
    }
    fs::create_directories(directory / "bin");
    writeText(directory / "bin" / "installed.json", "{}");
  }

  std::set<std::string> names() const {
    std::set<std::string> result;
    for (const auto &entry : fs::directory_iterator(directory)) {
      result.insert(entry.path().filename().string());
    }
    return result;
  }

  TempDir temp;
  fs::path directory = temp.path() / "config";
  ConfigStore store{directory};
  DeviceConfig device = sampleDevice();
  const std::set<std::string> kept = {"service.log", "service-error.log", "native.lock", "bin"};
};

TEST_F(PairingClearTest, RemovesThePairingsFilesOnly) {
  DeviceConfig sameButEdited = device;
  sameButEdited.name = "Renamed";
  sameButEdited.port = 50000;
  sameButEdited.servers = {LocalServer("notes", "Notes", "stdio")};
  EXPECT_TRUE(PairingRecovery::matches(sameButEdited, store));
  EXPECT_TRUE(PairingRecovery::clear(sameButEdited, store));
  EXPECT_EQ(names(), kept);
  EXPECT_TRUE(fs::exists(directory / "bin" / "installed.json"));
  EXPECT_FALSE(PairingRecovery::matches(device, store));
  EXPECT_FALSE(PairingRecovery::clear(device, store));
  EXPECT_EQ(FirstRun::inspect(temp.path() / "home", directory).phase, FirstRunPhase::loginRequired);
}

TEST_F(PairingClearTest, MissingFilesAreSkipped) {
  fs::remove(directory / "secrets.env");
  fs::remove(directory / "running.pid");
  EXPECT_TRUE(PairingRecovery::clear(device, store));
  EXPECT_EQ(names(), kept);
}

TEST_F(PairingClearTest, AnotherOrUnreadablePairingIsLeftAlone) {
  std::set<std::string> before = names();
  for (auto change : {+[](DeviceConfig &d) { d.id = "dev-2"; },
                      +[](DeviceConfig &d) { d.endpoint = "https://other.example"; },
                      +[](DeviceConfig &d) { d.credential = "cred-2"; }}) {
    DeviceConfig other = device;
    change(other);
    EXPECT_FALSE(PairingRecovery::matches(other, store));
    EXPECT_FALSE(PairingRecovery::clear(other, store));
    EXPECT_EQ(names(), before);
  }
  writeText(store.file(), "{");
  EXPECT_FALSE(PairingRecovery::matches(device, store));
  EXPECT_FALSE(PairingRecovery::clear(device, store));
  EXPECT_EQ(names(), before);
}

TEST_F(PairingClearTest, ARemovalFailureStopsTheClearing) {
  fs::remove(directory / "mac-app.json");
  fs::create_directories(directory / "mac-app.json" / "inside");
  EXPECT_THROW(PairingRecovery::clear(device, store), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(directory / "mac-installation-id"));
  EXPECT_TRUE(fs::exists(directory / "secrets.env"));
  EXPECT_TRUE(fs::exists(store.file()));
}

} // namespace
} // namespace pellum::test
