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

json runClient(const std::string &node, std::vector<std::string> arguments) {
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
  return json::parse(result.standardOutput, nullptr, false);
}

TEST(StdioBridge, SDKClientSeesTheSameServerThroughTheBridge) {
  const char *pathVariable = std::getenv("PATH");
  auto node = ExecutableFinder::findExecutable("node", pathVariable ? pathVariable : "");
  if (!node || !std::filesystem::exists(everythingServer())) {
    GTEST_SKIP() << "needs node and the npm packages of tests/e2e (npm ci in tests/e2e)";
  }
  test::TempDir dir;
  LocalServer everything("everything", "Everything", "stdio");
  everything.command = node->string();
  everything.args = std::vector<std::string>{everythingServer().string(), "stdio"};
  DeviceConfig config{"https://pellum.test", "device",  "E2E",   "e2e.local", 1024,
                      "credential",          kPassword, "token", {everything}};
  std::ofstream(dir.path() / "config.json") << json(config).dump(2);

  json direct =
      runClient(node->string(), {"stdio", node->string(), everythingServer().string(), "stdio"});
  ASSERT_TRUE(direct.is_object());

  Pipe output = Pipe::create();
  ChildProcess::Options host;
  host.executable = (test::binDir() / "bridge_host").string();
  host.arguments = {(dir.path() / "config.json").string()};
  host.standardOutput = output.writeEnd.get();
  ChildProcess bridge(host);
  output.writeEnd.reset();
  std::string ready = readLine(output.readEnd.get());
  ASSERT_TRUE(ready.starts_with("listening ")) << ready;
  std::string url = "http://127.0.0.1:" + ready.substr(10) + "/s/everything";

  json bridged = runClient(node->string(), {"http", url});
  bridge.signal(SIGTERM);
  EXPECT_TRUE(bridge.waitUntil(std::chrono::steady_clock::now() + 30s));
  EXPECT_EQ(bridge.status().code, 0);
  EXPECT_FALSE(bridge.status().signaled);
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

} // namespace
} // namespace pellum
