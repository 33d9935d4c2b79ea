#pragma once

// A bridge on a system-chosen loopback port with fake stdio services, spoken to by a raw HTTP
// client, and the leak checks that every bridge test ends with.

#include "bridge/NativeBridge.h"

#include "Eventually.h"
#include "LoopbackSocket.h"
#include "Paths.h"
#include "ProcessLeaks.h"
#include "TempDir.h"
#include "support/Encoding.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace pellum::bridgetest {

using nlohmann::json;
using namespace std::chrono_literals;

inline constexpr const char *kPassword = "secret-password";

inline std::string goodCredentials() {
  return "Basic " + base64Encode(std::string("kestrin:") + kPassword);
}

// One response as a raw client reads it; `status` is empty when the connection was closed
// without any response.
struct Response {
  std::string status;
  std::map<std::string, std::string> headers;
  std::string body;

  json parsed() const { return json::parse(body); }
};

inline Response parseResponse(const std::string &raw) {
  Response response;
  auto headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    response.status = raw;
    return response;
  }
  std::istringstream head(raw.substr(0, headEnd));
  std::string line;
  std::getline(head, line);
  response.status = line.substr(0, line.size() - 1);
  while (std::getline(head, line)) {
    if (line.ends_with('\r')) {
      line.pop_back();
    }
    auto colon = line.find(": ");
    response.headers[line.substr(0, colon)] = line.substr(colon + 2);
  }
  response.body = raw.substr(headEnd + 4);
  return response;
}

// The fixed headers of an answer without a body of its own.
inline std::map<std::string, std::string>
emptyHeaders(std::map<std::string, std::string> more = {}) {
  more["cache-control"] = "no-store";
  more["connection"] = "close";
  more["content-length"] = "0";
  return more;
}

// The fixed headers of a JSON answer of `length` bytes.
inline std::map<std::string, std::string>
jsonHeaders(std::size_t length, std::map<std::string, std::string> more = {}) {
  more["cache-control"] = "no-store";
  more["connection"] = "close";
  more["content-length"] = std::to_string(length);
  more["content-type"] = "application/json";
  return more;
}

inline std::string errorJSON(const std::string &sentence) {
  return "{\"error\":\"" + sentence + "\"}";
}

using test::eventually;

class BridgeTest : public ::testing::Test {
protected:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  void SetUp() override {
    threads_ = test::threadCount();
    descriptors_ = test::openDescriptorCount();
  }

  void TearDown() override {
    bridge_.reset();
    EXPECT_FALSE(test::hasChildProcesses());
    EXPECT_EQ(test::threadCount(), threads_);
    EXPECT_EQ(test::openDescriptorCount(), descriptors_);
  }

  // A stdio service running the fake MCP server in `mode`, logging what it receives.
  LocalServer stdioServer(const std::string &slug, const std::string &mode = "normal",
                          std::vector<std::string> extra = {}) {
    LocalServer server(slug, "Service " + slug, "stdio");
    server.command = (test::binDir() / "fake_mcp_server").string();
    std::vector<std::string> args{"--mode", mode, "--log", logPath(slug)};
    args.insert(args.end(), extra.begin(), extra.end());
    server.args = args;
    return server;
  }

  std::string logPath(const std::string &slug) const {
    return (dir_.path() / (slug + ".log")).string();
  }

  // Every line that the children of `slug` received.
  std::string logOf(const std::string &slug) const {
    std::ifstream file(logPath(slug));
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  static DeviceConfig config(std::vector<LocalServer> servers) {
    DeviceConfig config;
    config.endpoint = "https://pellum.test";
    config.id = "device";
    config.name = "Test Mac";
    config.hostname = "test.local";
    config.port = 1024; // not used: the tests bind a port of the system's choice
    config.credential = "credential";
    config.bridgePassword = kPassword;
    config.tunnelToken = "token";
    config.servers = std::move(servers);
    return config;
  }

  // The lease and the idle limit keep their production lengths: they are measured on `clock_`,
  // which moves only when a test advances it.
  NativeBridge::Options options() {
    NativeBridge::Options options;
    options.clock = &clock_;
    options.pruningPeriod = 1h; // passes run when a test asks for them
    options.connectionLimit = 20s;
    options.forwardTimeout = 10s;
    options.session.initializeTimeout = 10s;
    options.session.killGrace = 500ms;
    options.session.shellPath = [] { return std::optional<std::string>(); };
    return options;
  }

  Environment environment() const {
    return {{"PATH", "/usr/bin:/bin"}, {"HOME", dir_.path().string()}};
  }

  // Starts a bridge for `servers`, all of them allowed for 90 s.
  NativeBridge &startBridge(std::vector<LocalServer> servers) {
    return startBridge(std::move(servers), options());
  }
  NativeBridge &startBridge(std::vector<LocalServer> servers, NativeBridge::Options chosen) {
    json allowed = json::array();
    for (const LocalServer &server : servers) {
      allowed.push_back({{"slug", server.slug}, {"enabled", true}});
    }
    bridge_ = std::make_unique<NativeBridge>(config(std::move(servers)), environment(), chosen);
    bridge_->authorize(allowed, 90);
    port_ = bridge_->start(0);
    return *bridge_;
  }

  static std::string rawRequest(const std::string &method, const std::string &target,
                                const Headers &headers, const std::string &body = "") {
    std::string text = method + " " + target + " HTTP/1.1\r\nhost: 127.0.0.1\r\n";
    for (const auto &[name, value] : headers) {
      text += name + ": " + value + "\r\n";
    }
    if (!body.empty()) {
      text += "content-length: " + std::to_string(body.size()) + "\r\n";
    }
    return text + "\r\n" + body;
  }

  Response exchange(const std::string &raw) {
    test::LoopbackSocket socket = test::LoopbackSocket::connect(port_);
    EXPECT_TRUE(socket.write(raw));
    return parseResponse(socket.readAll());
  }

  // A request with good credentials and the given extra headers.
  Response call(const std::string &method, const std::string &target, Headers headers = {},
                const std::string &body = "") {
    headers.emplace_back("authorization", goodCredentials());
    return exchange(rawRequest(method, target, headers, body));
  }

  Response post(const std::string &slug, const json &message,
                const std::optional<std::string> &session = std::nullopt) {
    Headers headers{{"content-type", "application/json"}};
    if (session) {
      headers.emplace_back("mcp-session-id", *session);
    }
    return call("POST", "/s/" + slug, headers, message.dump());
  }

  static json rpc(const json &id, const std::string &method, const json &params = nullptr) {
    json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) {
      message["params"] = params;
    }
    return message;
  }

  static json notification(const std::string &method) {
    return {{"jsonrpc", "2.0"}, {"method", method}};
  }

  // Opens a session on `slug` and returns its id.
  std::string initialize(const std::string &slug,
                         const json &params = {{"protocolVersion", "2025-06-18"}}) {
    Response response = post(slug, rpc(1, "initialize", params));
    EXPECT_EQ(response.status, "HTTP/1.1 200 Response") << response.body;
    return response.headers["mcp-session-id"];
  }

  test::TempDir dir_;
  ManualClock clock_; // outlives every bridge of the test
  std::unique_ptr<NativeBridge> bridge_;
  std::uint16_t port_ = 0;

  // Threads of this process before the test began.
  std::size_t threadsBefore() const { return threads_; }

private:
  std::size_t threads_ = 0;
  std::size_t descriptors_ = 0;
};

} // namespace pellum::bridgetest
