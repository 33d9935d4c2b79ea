// The connector program as launchd runs it, in front of the fake cloud service and a fake
// tunnel client: the official MCP SDK client, playing the tunnel's traffic, reaches a stdio
// service and a local HTTP service (both the reference "everything" server) through the bridge.
// The run ends the way a revoked device ends it, at the product's own heartbeat period.

#include "EverythingServer.h"
#include "FakeCloud.h"
#include "LoopbackSocket.h"
#include "Paths.h"
#include "RunProcess.h"
#include "ScopedVariable.h"
#include "TempDir.h"
#include "config/ConfigStore.h"
#include "platform/ChildProcess.h"
#include "platform/FileDescriptor.h"
#include "service/ServiceAPI.h"
#include "support/Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace pellum {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path clientScript() { return test::sourceDir() / "tests" / "e2e" / "stdio_client.mjs"; }

bool eventually(const std::function<bool()> &condition, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

// Runs the SDK client script (see stdio_client.mjs) to its end.
test::ProcessResult runClientProcess(const fs::path &node, std::vector<std::string> arguments,
                                     const std::string &password) {
  test::ProcessOptions options;
  options.executable = node;
  arguments.insert(arguments.begin(), {node.string(), clientScript().string()});
  options.arguments = arguments;
  options.environment = test::environmentWith({{"PELLUM_BRIDGE_PASSWORD", password}});
  options.workingDirectory = clientScript().parent_path();
  options.timeout = 60s;
  return test::runProcess(options);
}

// What the SDK client saw of one server.
json runClient(const fs::path &node, std::vector<std::string> arguments,
               const std::string &password) {
  test::ProcessResult result = runClientProcess(node, std::move(arguments), password);
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  return json::parse(result.standardOutput, nullptr, false);
}

TEST(Connector, SDKClientReachesStdioAndHTTPServicesThroughTheRunningConnector) {
  std::optional<fs::path> node = test::FakeCloud::findNode();
  if (!node || !fs::exists(test::everythingServer())) {
    GTEST_SKIP() << "needs node and the npm packages of tests/e2e (npm ci in tests/e2e)";
  }
  test::TempDir home;
  fs::path configDirectory = home.path() / "config";
  fs::path tunnel = home.path() / "cloudflared";
  fs::create_symlink(test::binDir() / "fake_tunnel", tunnel);
  test::FakeCloud cloud;
  test::ScopedVariable trust("SSL_CERT_FILE", cloud.caFile().string());

  // The local HTTP service: the everything server in its streamable HTTP mode on a free port.
  std::uint16_t webPort = test::LoopbackListener().port();
  std::unique_ptr<ChildProcess> web = test::everythingOverHTTP(*node, webPort);
  ASSERT_TRUE(web);

  // Enrolment as the "enroll" verb does it, then the device's two services.
  std::uint16_t bridgePort = test::LoopbackListener().port();
  cloud.setState({{"devicePort", bridgePort}});
  json answer = ServiceAPI().call(cloud.origin(), std::nullopt, "/enroll",
                                  json{{"code", std::string(43, 'e')}}, "POST");
  answer["endpoint"] = cloud.origin();
  answer["servers"] = json::array();
  DeviceConfig device = answer.get<DeviceConfig>();
  LocalServer everything("everything", "Everything", "stdio");
  everything.command = node->string();
  everything.args = std::vector<std::string>{test::everythingServer().string(), "stdio"};
  LocalServer webService("web", "Everything over HTTP", "http");
  webService.url = "http://127.0.0.1:" + std::to_string(webPort) + "/mcp";
  device.servers = {everything, webService};
  ConfigStore(configDirectory).save(device);

  fs::path output = home.path() / "connector.out";
  FileDescriptor outputFile(::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ChildProcess::Options connectorOptions;
  connectorOptions.executable = test::connectorPath().string();
  connectorOptions.arguments = {"start", "--cloudflared", tunnel.string()};
  Environment connectorEnvironment = processEnvironment();
  connectorEnvironment["PELLUM_CONFIG_DIR"] = configDirectory.string();
  connectorOptions.environment = connectorEnvironment;
  connectorOptions.standardOutput = outputFile.get();
  ChildProcess connector(connectorOptions);
  ASSERT_TRUE(eventually([&] { return fs::exists(tunnel.string() + ".record"); }, 30s));

  json direct =
      runClient(*node, {"stdio", node->string(), test::everythingServer().string(), "stdio"}, "");
  std::string bridge = "http://127.0.0.1:" + std::to_string(bridgePort) + "/s/";
  json viaStdio = runClient(*node, {"http", bridge + "everything"}, device.bridgePassword);
  json viaHTTP = runClient(*node, {"http", bridge + "web"}, device.bridgePassword);
  ASSERT_TRUE(direct.is_object());
  ASSERT_TRUE(viaStdio.is_object());
  ASSERT_TRUE(viaHTTP.is_object());
  for (const char *key : {"tools", "call", "prompts", "resources", "read"}) {
    EXPECT_EQ(viaStdio[key], direct[key]) << key;
  }
  EXPECT_EQ(viaStdio["server"]["name"], "pellum-native");
  EXPECT_EQ(viaHTTP["server"], direct["server"]);
  EXPECT_EQ(viaHTTP["tools"], direct["tools"]);
  EXPECT_EQ(viaHTTP["call"]["content"][0]["text"], "Echo: hello through pellum");
  EXPECT_EQ(viaHTTP["terminated"], true);

  // Wrong credentials never reach a service.
  test::ProcessResult refused = runClientProcess(*node, {"http", bridge + "web"}, "wrong");
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.standardError.find("code: 401"), std::string::npos) << refused.standardError;

  // A revoked device ends the run with status 0 at the next heartbeat.
  cloud.setState({{"revoked", true}});
  EXPECT_TRUE(connector.waitUntil(std::chrono::steady_clock::now() + 45s));
  if (connector.running()) {
    connector.signal(SIGKILL);
    connector.wait();
  }
  EXPECT_EQ(connector.status().code, 0);
  EXPECT_FALSE(connector.status().signaled);
  EXPECT_EQ(readFile(output), "Connector running for Test Mac, 2 local service(s).\n"
                              "Device revoked. Stopping connector.\n");
  EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
  web->signal(SIGTERM);
  web->wait();
}

} // namespace
} // namespace pellum
