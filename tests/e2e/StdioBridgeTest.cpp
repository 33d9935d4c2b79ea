// The official MCP SDK client speaks to the reference "everything" server through the bridge,
// and must see what it sees when it speaks to the same server directly over stdio.

#include "Paths.h"
#include "ProcessLeaks.h"
#include "RunProcess.h"
#include "TempDir.h"
#include "config/DeviceConfig.h"
#include "platform/ChildProcess.h"
#include "platform/Pipe.h"
#include "stdio/ExecutableFinder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace pellum {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kPassword = "e2e-bridge-password";

std::filesystem::path e2eDir() { return test::sourceDir() / "tests" / "e2e"; }

std::filesystem::path everythingServer() {
  return e2eDir() / "node_modules" / "@modelcontextprotocol" / "server-everything" / "dist" /
         "index.js";
}

// The first line that `fd` delivers within 30 s (without its line feed), or "" at its end.
std::string readLine(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  char byte;
  while (waitReadable(fd, -1, deadline) == PipeWait::ready && readSome(fd, &byte, 1) == 1) {
    if (byte == '\n') {
      return line;
    }
    line += byte;
  }
  return line;
}

std::string runClientText(const std::string &node, std::vector<std::string> arguments) {
  test::ProcessOptions options;
  options.executable = node;
  arguments.insert(arguments.begin(), {node, (e2eDir() / "stdio_client.mjs").string()});
  options.arguments = arguments;
  options.environment = test::environmentWith({{"PELLUM_BRIDGE_PASSWORD", kPassword}});
  options.workingDirectory = e2eDir();
  options.timeout = 60s;
  test::ProcessResult result = test::runProcess(options);
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_FALSE(result.timedOut);
  return result.standardOutput;
}

json runClient(const std::string &node, std::vector<std::string> arguments) {
  return json::parse(runClientText(node, std::move(arguments)), nullptr, false);
}

// bridge_host on a config.json of `services`, all allowed.
class BridgeHost {
public:
  BridgeHost(const std::filesystem::path &dir, std::vector<LocalServer> services) {
    DeviceConfig config{"https://pellum.test", "device",  "E2E",   "e2e.local",        1024,
                        "credential",          kPassword, "token", std::move(services)};
    std::ofstream(dir / "config.json") << json(config).dump(2);
    Pipe output = Pipe::create();
    ChildProcess::Options host;
    host.executable = (test::binDir() / "bridge_host").string();
    host.arguments = {(dir / "config.json").string()};
    host.standardOutput = output.writeEnd.get();
    process_ = std::make_unique<ChildProcess>(host);
    output.writeEnd.reset();
    std::string ready = readLine(output.readEnd.get());
    if (ready.starts_with("listening ")) {
      port_ = ready.substr(10);
    }
  }
  // The URL of `slug`; empty when the host did not start.
  std::string url(const std::string &slug) const {
    return port_.empty() ? "" : "http://127.0.0.1:" + port_ + "/s/" + slug;
  }
  // Stops the host as the connector's stop signal would and expects a clean exit.
  void stop() {
    process_->signal(SIGTERM);
    EXPECT_TRUE(process_->waitUntil(std::chrono::steady_clock::now() + 30s));
    EXPECT_EQ(process_->status().code, 0);
    EXPECT_FALSE(process_->status().signaled);
  }

private:
  std::unique_ptr<ChildProcess> process_;
  std::string port_;
};

std::optional<std::filesystem::path> nodeProgram() {
  const char *pathVariable = std::getenv("PATH");
  return ExecutableFinder::findExecutable("node", pathVariable ? pathVariable : "");
}

TEST(StdioBridge, SDKClientSeesTheSameServerThroughTheBridge) {
  auto node = nodeProgram();
  if (!node || !std::filesystem::exists(everythingServer())) {
    GTEST_SKIP() << "needs node and the npm packages of tests/e2e (npm ci in tests/e2e)";
  }
  test::TempDir dir;
  LocalServer everything("everything", "Everything", "stdio");
  everything.command = node->string();
  everything.args = std::vector<std::string>{everythingServer().string(), "stdio"};
  json direct =
      runClient(node->string(), {"stdio", node->string(), everythingServer().string(), "stdio"});
  ASSERT_TRUE(direct.is_object());

  BridgeHost host(dir.path(), {everything});
  ASSERT_FALSE(host.url("everything").empty());
  json bridged = runClient(node->string(), {"http", host.url("everything")});
  host.stop();
  ASSERT_TRUE(bridged.is_object());

  for (const char *key : {"tools", "call", "prompts", "resources", "read"}) {
    EXPECT_EQ(bridged[key], direct[key]) << key;
  }
  EXPECT_EQ(direct["call"]["content"][0]["text"], "Echo: hello through pellum");
  // The bridge presents itself, and only the three capabilities it serves.
  EXPECT_EQ(bridged["server"], json({{"name", "pellum-native"}, {"version", "0.2.0"}}));
  EXPECT_EQ(bridged["capabilities"], json({"prompts", "resources", "tools"}));
  EXPECT_EQ(bridged["sessionId"].get<std::string>().size(), 36u);
  EXPECT_EQ(bridged["terminated"], true);
}

TEST(StdioBridge, ToolSchemasReachTheSDKClientInTheServersOrder) {
  auto node = nodeProgram();
  if (!node || !std::filesystem::exists(e2eDir() / "node_modules" / "@modelcontextprotocol")) {
    GTEST_SKIP() << "needs node and the npm packages of tests/e2e (npm ci in tests/e2e)";
  }
  test::TempDir dir;
  LocalServer unordered("unordered", "Unordered", "stdio");
  unordered.command = (test::binDir() / "fake_mcp_server").string();
  unordered.args = std::vector<std::string>{"--mode", "unordered-schema"};
  BridgeHost host(dir.path(), {unordered});
  ASSERT_FALSE(host.url("unordered").empty());
  std::string listed = runClientText(node->string(), {"tools", host.url("unordered")});
  host.stop();
  // "zeta" before "alpha", "type" before "properties" before "required": as the server wrote.
  auto schema = listed.find(R"("inputSchema":{"type":"object","properties":{"zeta":)");
  EXPECT_NE(schema, std::string::npos) << listed;
  EXPECT_NE(listed.find(R"("alpha":{"type":"number","maximum":100}},"required":["zeta"]})", schema),
            std::string::npos)
      << listed;
}

} // namespace
} // namespace pellum
