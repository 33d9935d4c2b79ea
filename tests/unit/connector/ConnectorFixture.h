#pragma once

// A device enrolled with the fake cloud service in a fresh configuration directory, a fake
// tunnel client beside it, and the probes that connector tests use from outside: raw requests
// to the bridge, the lock file, the tunnel client's record.

#include "config/ConfigStore.h"
#include "service/ServiceAPI.h"
#include "support/Encoding.h"

#include "FakeCloud.h"
#include "LoopbackSocket.h"
#include "Paths.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace pellum::connectortest {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Polls `condition` for up to `limit`; returns its last value.
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds limit = 15s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// A port on 127.0.0.1 that nobody listened on a moment ago.
inline std::uint16_t freePort() { return test::LoopbackListener().port(); }

// The processes whose parent is `parent`, zombies included. The fake cloud service is a child
// of the test for the whole suite, so tests compare this set before and after.
inline std::set<pid_t> childPids(pid_t parent = ::getpid()) {
  std::set<pid_t> children;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator("/proc", error)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream file(entry.path() / "stat");
    std::string stat(std::istreambuf_iterator<char>(file), {});
    // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t itsParent = 0;
    if (rest >> state >> itsParent && itsParent == parent) {
      children.insert(static_cast<pid_t>(std::stol(name)));
    }
  }
  return children;
}

inline std::string readText(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class ConnectorTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!test::FakeCloud::findNode()) {
      return;
    }
    cloud_ = new test::FakeCloud();
    if (const char *old = std::getenv("SSL_CERT_FILE")) {
      oldCertFile_ = new std::string(old);
    }
    ::setenv("SSL_CERT_FILE", cloud_->caFile().c_str(), 1);
  }

  static void TearDownTestSuite() {
    delete cloud_;
    cloud_ = nullptr;
    if (oldCertFile_ != nullptr) {
      ::setenv("SSL_CERT_FILE", oldCertFile_->c_str(), 1);
    } else {
      ::unsetenv("SSL_CERT_FILE");
    }
    delete oldCertFile_;
    oldCertFile_ = nullptr;
  }

  void SetUp() override {
    if (cloud_ == nullptr) {
      GTEST_SKIP() << "needs node for the fake cloud service";
    }
    cloud_->reset();
    children_ = childPids();
    fs::create_symlink(test::binDir() / "fake_tunnel", tunnel);
  }

  void TearDown() override {
    if (cloud_ != nullptr) {
      EXPECT_EQ(childPids(), children_);
    }
  }

  test::FakeCloud &cloud() { return *cloud_; }

  // Enrols a new device with the fake service (as "enroll" does) and saves it with `servers`.
  DeviceConfig enroll(std::vector<LocalServer> servers = {}) {
    cloud_->setState({{"devicePort", freePort()}});
    json answer = ServiceAPI().call(cloud_->origin(), std::nullopt, "/enroll",
                                    json{{"code", std::string(43, 'k')}}, "POST");
    answer["endpoint"] = cloud_->origin();
    answer["servers"] = json::array();
    DeviceConfig device = answer.get<DeviceConfig>();
    device.servers = std::move(servers);
    ConfigStore(configDirectory).save(device);
    return device;
  }

  // A stdio service that is never started by these tests' requests.
  static LocalServer stdioServer(const std::string &slug) {
    LocalServer server(slug, "Service " + slug, "stdio");
    server.command = (test::binDir() / "fake_mcp_server").string();
    server.args = std::vector<std::string>{"--mode", "normal"};
    return server;
  }

  // The status line of a GET of `path` on the bridge, with the device's credentials; "" when
  // the connection is refused or closed without an answer.
  static std::string statusOf(const DeviceConfig &device, const std::string &path) {
    try {
      test::LoopbackSocket socket = test::LoopbackSocket::connect(device.port);
      std::string credentials = base64Encode("kestrin:" + device.bridgePassword);
      socket.write("GET " + path + " HTTP/1.1\r\nhost: 127.0.0.1\r\nauthorization: Basic " +
                   credentials + "\r\n\r\n");
      std::string answer = socket.readAll();
      return answer.substr(0, answer.find("\r\n"));
    } catch (const std::exception &) {
      return "";
    }
  }

  // Whether another open file could take the exclusive lock on "native.lock" right now.
  bool lockIsFree() const {
    int fd = ::open((configDirectory / "native.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      return errno == ENOENT;
    }
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
  }

  fs::path record() const { return fs::path(tunnel.string() + ".record"); }
  void setTunnelMode(const std::string &mode) const {
    std::ofstream(tunnel.string() + ".mode") << mode;
  }

  test::TempDir home;
  fs::path configDirectory = home.path() / "config";
  fs::path tunnel = home.path() / "cloudflared";

private:
  std::set<pid_t> children_;
  static inline test::FakeCloud *cloud_ = nullptr;
  static inline std::string *oldCertFile_ = nullptr;
};

} // namespace pellum::connectortest
