// "PellumConnector check" against the reference "everything" server, once over stdio and once
// over streamable HTTP: both pass, naming as many tools as the official SDK client lists.

#include "EverythingServer.h"
#include "FakeCloud.h"
#include "Paths.h"
#include "ProcessLeaks.h"
#include "RunProcess.h"
#include "SampleDevice.h"
#include "TempDir.h"
#include "config/ConfigStore.h"
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

namespace pellum {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// `text` as a regular expression that matches only itself.
std::string literal(const std::string &text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

TEST(Check, BothEverythingServicesPassNamingTheirTools) {
  std::optional<fs::path> node = test::FakeCloud::findNode();
  if (!node || !fs::exists(test::everythingServer())) {
    GTEST_SKIP() << "needs node and the npm packages of tests/e2e (npm ci in tests/e2e)";
  }
  test::TempDir home;

  std::uint16_t webPort = test::LoopbackListener().port();
  std::unique_ptr<ChildProcess> web = test::everythingOverHTTP(*node, webPort);
  ASSERT_TRUE(web);

  // The stdio service names its program as a user types it: found on the PATH.
  DeviceConfig device = test::sampleDevice();
  LocalServer everything("everything", "Everything", "stdio");
  everything.command = "node";
  everything.args = std::vector<std::string>{test::everythingServer().string(), "stdio"};
  LocalServer webService("web", "Everything over HTTP", "http");
  webService.url = "http://localhost:" + std::to_string(webPort) + "/mcp";
  device.servers = {everything, webService};
  ConfigStore(home.path() / "config").save(device);

  test::ProcessOptions options;
  options.executable = test::connectorPath();
  options.arguments = {test::connectorPath().string(), "check"};
  options.environment =
      test::environmentWith({{"PELLUM_CONFIG_DIR", (home.path() / "config").string()},
                             {"KESTRIN_CONFIG_DIR", std::nullopt},
                             {"HOME", home.path().string()},
                             {"SHELL", "/bin/sh"},
                             {"PATH", node->parent_path().string() + ":/usr/bin:/bin"}});
  options.timeout = 60s;
  test::ProcessResult result = test::runProcess(options);

  // What the SDK client lists, directly over stdio.
  test::ProcessOptions client;
  client.executable = *node;
  client.arguments = {node->string(),
                      (test::sourceDir() / "tests" / "e2e" / "stdio_client.mjs").string(),
                      "stdio",
                      node->string(),
                      test::everythingServer().string(),
                      "stdio"};
  client.workingDirectory = test::sourceDir() / "tests" / "e2e";
  client.timeout = 60s;
  test::ProcessResult listed = test::runProcess(client);
  web->signal(SIGTERM);
  web->wait();

  json direct = json::parse(listed.standardOutput, nullptr, false);
  ASSERT_TRUE(direct.is_object()) << listed.standardError;
  std::size_t tools = direct["tools"]["tools"].size();
  ASSERT_GT(tools, 0u);

  EXPECT_EQ(result.exitStatus, 0) << result.standardOutput << result.standardError;
  EXPECT_EQ(result.standardError, "");
  std::string count = std::to_string(tools) + " tools, [0-9]+ ms";
  std::regex expected(
      "ok everything \\(stdio\\): " + literal((node->parent_path() / "node").string()) +
      ", protocol 2025-[0-9-]+, server [^,]+, " + count + "\n" +
      "ok web \\(http\\): http://localhost:" + std::to_string(webPort) +
      "/mcp, headers none, HTTP 200, protocol 2025-[0-9-]+, server [^,]+, " + count + "\n");
  EXPECT_TRUE(std::regex_match(result.standardOutput, expected)) << result.standardOutput;
  EXPECT_FALSE(test::hasChildProcesses());
}

} // namespace
} // namespace pellum
