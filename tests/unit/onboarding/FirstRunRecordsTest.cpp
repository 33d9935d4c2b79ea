#include "OnboardingFixture.h"

#include "onboarding/FirstRun.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;

fs::perms permissionsOf(const fs::path &path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

class FirstRunRecordsTest : public ::testing::Test {
protected:
  TempDir temp;
  fs::path directory = temp.path() / "config";
  ConfigStore store{directory};
  DeviceConfig device = sampleDevice();
  fs::path ownership = directory / "mac-app.json";
};

TEST_F(FirstRunRecordsTest, OwnershipGoesFromPendingToCompleteKeepingTheAccount) {
  EXPECT_FALSE(FirstRun::isOwned(store, device));
  FirstRun::markOwned(store, device, false, "acct-1");
  EXPECT_EQ(permissionsOf(directory), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(ownership), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(FirstRun::isOwned(store, device));
  EXPECT_TRUE(FirstRun::isPending(store));
  EXPECT_EQ(FirstRun::accountID(store, device), "acct-1");

  FirstRun::markOwned(store, device, true, std::nullopt);
  EXPECT_EQ(readText(ownership),
            R"({"accountId":"acct-1","deviceId":"dev-1","endpoint":"https://pellum.zendrel.com",)"
            R"("setupComplete":true})");
  EXPECT_FALSE(FirstRun::isPending(store));

  // An account recorded for another record is not carried over to this one.
  DeviceConfig other = device;
  other.id = "dev-2";
  FirstRun::markOwned(store, other, true, std::nullopt);
  EXPECT_EQ(readText(ownership),
            R"({"deviceId":"dev-2","endpoint":"https://pellum.zendrel.com","setupComplete":true})");
  EXPECT_FALSE(FirstRun::isOwned(store, device));
}

TEST_F(FirstRunRecordsTest, OwnershipFilesThatDoNotQualify) {
  struct Case {
    const char *text; // nullptr: no file
    bool owned;
    bool pending;
    std::optional<std::string> account;
  } cases[] = {
      {nullptr, false, false, std::nullopt},
      {"", false, false, std::nullopt},
      {"[1]", false, false, std::nullopt},
      {R"({"setupComplete":false})", false, true, std::nullopt},
      {R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com","setupComplete":"false"})",
       true, false, std::nullopt},
      {R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com","accountId":7})", true, false,
       std::nullopt},
      {R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com/","accountId":"a"})", false,
       false, std::nullopt},
      {R"({"deviceId":"dev-1","accountId":"a","setupComplete":false})", false, true, std::nullopt},
      {R"({"deviceId":"dev-1","endpoint":"https://pellum.zendrel.com","accountId":"a"})", true,
       false, "a"},
  };
  fs::create_directories(directory);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(no file)");
    fs::remove(ownership);
    if (c.text) {
      writeText(ownership, c.text);
    }
    EXPECT_EQ(FirstRun::isOwned(store, device), c.owned);
    EXPECT_EQ(FirstRun::isPending(store), c.pending);
    EXPECT_EQ(FirstRun::accountID(store, device), c.account);
  }
}

TEST_F(FirstRunRecordsTest, InstallationIDIsCreatedOnceAndThenOnlyRead) {
  std::string identifier = FirstRun::installationID(store);
  EXPECT_TRUE(isUUID(identifier));
  EXPECT_EQ(identifier.find_first_of("abcdef"), std::string::npos);
  EXPECT_EQ(readText(directory / "mac-installation-id"), identifier);
  EXPECT_EQ(permissionsOf(directory / "mac-installation-id"),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(FirstRun::installationID(store), identifier);
}

TEST_F(FirstRunRecordsTest, StoredInstallationIDs) {
  const std::string lower = "0f8fad5b-d9cb-469f-a165-70867728950e";
  struct Case {
    std::string text;
    std::string result; // empty: refused
  } cases[] = {
      {lower + "\n", lower},
      {" \t" + lower + "\r\n\n", lower},
      {lower + "\u00a0", lower},
      {"\u3000" + lower + "\u2028\u2029\u0085\v\f", lower},
      {"\u2003" + lower + "\u202f", lower},
      {lower + "\u200b", ""}, // a zero-width space is a format character, not white space
      {"\ufeff" + lower, ""},
      {"0F8FAD5B-D9CB-469F-A165-70867728950E", "0F8FAD5B-D9CB-469F-A165-70867728950E"},
      {"not a uuid", ""},
      {"", ""},
      {lower + "x", ""},
      {"0f8fad5bd9cb469fa16570867728950e", ""},
      {lower + "\n" + lower, ""},
      {std::string(200000, ' ') + lower, ""},
  };
  fs::create_directories(directory);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    writeText(directory / "mac-installation-id", c.text);
    if (!c.result.empty()) {
      EXPECT_EQ(FirstRun::installationID(store), c.result);
    } else {
      try {
        FirstRun::installationID(store);
        ADD_FAILURE() << "accepted";
      } catch (const ConnectorError &error) {
        EXPECT_EQ(error.message,
                  "Invalid Mac setup identifier. Your existing setup has been preserved.");
        EXPECT_EQ(error.status, 400);
      }
    }
    EXPECT_EQ(readText(directory / "mac-installation-id"), c.text);
  }
}

// A socket bound to 127.0.0.1:`port` the way another program would hold it; -1 when it cannot.
int bindLoopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(FirstRunBridgePort, PrefersTheConnectorPortElseAnyFreeOne) {
  int holder = bindLoopback(47831);
  if (holder < 0) {
    GTEST_SKIP() << "port 47831 is in use by something else";
  }
  std::uint16_t other = FirstRun::availableBridgePort();
  EXPECT_NE(other, 47831);
  EXPECT_NE(other, 0);
  // The port found is not held: it can be bound at once.
  int again = bindLoopback(other);
  EXPECT_GE(again, 0);
  ::close(again);
  ::close(holder);

  EXPECT_EQ(FirstRun::availableBridgePort(), 47831);
  holder = bindLoopback(47831);
  EXPECT_GE(holder, 0) << "the preferred port was left bound";
  ::close(holder);
}

} // namespace
} // namespace pellum::test
