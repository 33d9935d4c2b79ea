// The "check" command: each local service seen as the connector would run it, in process with
// short time-outs, and through the connector program as a user runs it.
#include "management/ServiceCheck.h"

#include "Eventually.h"
#include "LoopbackSocket.h"
#include "Paths.h"
#include "ProcessLeaks.h"
#include "RunProcess.h"
#include "SampleDevice.h"
#include "TempDir.h"
#include "TestHTTPServer.h"
#include "stdio/ExecutableFinder.h"
#include "support/ConnectorError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

namespace pellum {
namespace {

using nlohmann::json;
using test::TestHTTPServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kSecret = "pellum-check-secret-7f3a9";

std::string fakeServer() { return (test::binDir() / "fake_mcp_server").string(); }

LocalServer stdioService(const std::string &slug, std::vector<std::string> args,
                         std::vector<std::string> envNames = {}) {
  LocalServer server(slug, slug, "stdio");
  server.command = fakeServer();
  server.args = std::move(args);
  if (!envNames.empty()) {
    server.envNames = std::move(envNames);
  }
  return server;
}

LocalServer httpService(const std::string &slug, const std::string &url) {
  LocalServer server(slug, slug, "http");
  server.url = url;
  return server;
}

// Times vary; everything else is exact.
std::vector<std::string> withoutTimes(std::vector<std::string> lines) {
  static const std::regex kTime("[0-9]+ ms$");
  for (std::string &line : lines) {
    line = std::regex_replace(line, kTime, "N ms");
  }
  return lines;
}

ServiceCheck::Options quick(std::chrono::milliseconds timeout = 10s) {
  ServiceCheck::Options options;
  options.timeout = timeout;
  options.killGrace = 300ms;
  options.shellPath = [] { return std::optional<std::string>("/nonexistent-shell-bin"); };
  return options;
}

std::vector<std::string> numberedLines(int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) {
    lines.push_back("    crash line " + std::to_string(i));
  }
  return lines;
}

// A minimal MCP service over HTTP: JSON for initialize (with a session), 202 for
// notifications, an event stream for tools/list, 200 for DELETE.
void mcpHandler(const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
  if (request.method == "DELETE") {
    exchange.respond({200, {}, ""});
    return;
  }
  json message = json::parse(request.body, nullptr, false);
  std::string method = message.value("method", "");
  if (method == "initialize") {
    json answer = {{"jsonrpc", "2.0"},
                   {"id", message["id"]},
                   {"result",
                    {{"protocolVersion", "2025-06-18"},
                     {"capabilities", {{"tools", json::object()}}},
                     {"serverInfo", {{"name", "fake-http"}, {"version", "2.0.0"}}}}}};
    exchange.respond({200,
                      {{"Content-Type", "application/json"}, {"Mcp-Session-Id", "session-1"}},
                      answer.dump()});
  } else if (method == "tools/list") {
    json answer = {
        {"jsonrpc", "2.0"},
        {"id", message["id"]},
        {"result", {{"tools", json::array({{{"name", "a"}}, {{"name", "b"}}, {{"name", "c"}}})}}}};
    exchange.startChunked(200, {{"Content-Type", "text/event-stream"}});
    exchange.chunk(": comment\n\nevent: message\ndata: " + answer.dump() + "\n\n");
    exchange.finishChunked();
  } else {
    exchange.respond({202, {}, ""});
  }
}

// The process whose id `pidFile` holds is gone, or at most a zombie waiting for its new parent
// (a killed process may take a moment to be scheduled and die).
void expectEnded(const fs::path &pidFile) {
  pid_t pid = 0;
  ASSERT_TRUE(std::ifstream(pidFile) >> pid) << pidFile;
  EXPECT_TRUE(test::eventually([pid] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, name, state;
    return !(stat >> number >> name >> state) || state == "Z";
  }));
}

class ServiceCheckTest : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_FALSE(test::hasChildProcesses()); }

  test::TempDir directory;
  ConfigStore store{directory.path()};
};

struct StdioCase {
  const char *what;
  LocalServer server;
  std::chrono::milliseconds timeout;
  std::vector<std::string> lines;
};

TEST_F(ServiceCheckTest, StdioServicesAsASessionRunsThem) {
  std::string crashHead = "failed crash (stdio): exited with status 3, N ms";
  std::vector<std::string> crash = {crashHead, "  standard error (last 20 lines):"};
  for (const std::string &line : numberedLines(31, 50)) {
    crash.push_back(line);
  }
  const std::vector<StdioCase> cases = {
      {"a good server",
       stdioService("good", {}),
       10s,
       {"ok good (stdio): " + fakeServer() +
        ", protocol 2025-11-25, server fake-mcp-server 1.0.0, 2 tools, N ms"}},
      {"a log line on standard output before the answer",
       stdioService("banner", {"--mode", "banner"}),
       10s,
       {"failed banner (stdio): printed a line that is not JSON on standard output (logs belong "
        "on standard error): \"fake MCP server starting up\", N ms",
        "  standard error: empty"}},
      {"an exit at once after writing to standard error",
       stdioService("crash", {"--mode", "crash", "--lines", "50"}), 10s, crash},
      {"a variable it needs among its envNames, not set",
       stdioService("needs", {"--require", "PELLUM_CHECK_ABSENT"},
                    {"PELLUM_CHECK_ABSENT", "PELLUM_CHECK_PRESENT"}),
       10s,
       {"failed needs (stdio): exited with status 1, N ms", "  standard error (last 1 line):",
        "    PELLUM_CHECK_ABSENT is not set", "  not set: PELLUM_CHECK_ABSENT"}},
      {"a server that never answers",
       stdioService("silent", {"--mode", "silent"}),
       300ms,
       {"failed silent (stdio): no answer to initialize within 300 ms, N ms",
        "  standard error: empty"}},
      {"a protocol version the connector does not accept",
       stdioService("old", {"--mode", "old-version"}),
       10s,
       {"failed old (stdio): answered initialize with protocol version \"2024-10-07\", which the "
        "connector does not accept, N ms",
        "  standard error: empty"}},
      {"an error answer to initialize",
       stdioService("refuses", {"--mode", "initialize-error"}),
       10s,
       {"failed refuses (stdio): answered initialize with an error: \"no\" (code -32000), N ms",
        "  standard error: empty"}},
      {"an exit right after initialize",
       stdioService("quits", {"--mode", "exit-after-initialize"}),
       10s,
       {"failed quits (stdio): exited with status 0, N ms", "  standard error: empty"}},
  };
  const Environment environment = {{"PATH", "/nonexistent-bin"}, {"PELLUM_CHECK_PRESENT", "1"}};
  for (const StdioCase &c : cases) {
    ServiceCheck check(store, quick(c.timeout));
    ServiceCheck::Result result = check.check(c.server, test::sampleDevice(), environment);
    EXPECT_EQ(result.ok, c.lines.front().starts_with("ok ")) << c.what;
    EXPECT_EQ(withoutTimes(result.lines), c.lines) << c.what;
  }
}

TEST_F(ServiceCheckTest, ACommandOnNoPathNamesTheThreePaths) {
  LocalServer server("nopath", "No path", "stdio");
  server.command = "pellum-no-such-server";
  server.args = std::vector<std::string>{};
  ServiceCheck::Result result =
      ServiceCheck(store, quick()).check(server, test::sampleDevice(), {{"PATH", "/a:/b"}});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.lines,
            (std::vector<std::string>{
                "failed nopath (stdio): 'pellum-no-such-server' was not found on the connector's "
                "PATH, the login shell's PATH or the default PATH",
                "  connector's PATH: /a:/b", "  login shell's PATH: /nonexistent-shell-bin",
                "  default PATH: " + std::string(ExecutableFinder::kDefaultSearchPath)}));

  ServiceCheck::Options noShell = quick();
  noShell.shellPath = [] { return std::optional<std::string>(); };
  result = ServiceCheck(store, noShell).check(server, test::sampleDevice(), {});
  ASSERT_EQ(result.lines.size(), 4u);
  EXPECT_EQ(result.lines[1], "  connector's PATH: (not set)");
  EXPECT_EQ(result.lines[2], "  login shell's PATH: (the login shell did not give one)");
}

TEST_F(ServiceCheckTest, StandardErrorIsBoundedToItsLastEightKiB) {
  // Twelve lines of 1,000 bytes: the last eight whole ones fit in 8 KiB, the cut one is left out.
  ServiceCheck::Result result =
      ServiceCheck(store, quick())
          .check(stdioService("wide", {"--mode", "crash", "--lines", "12", "--width", "1000"}),
                 test::sampleDevice(), {});
  ASSERT_EQ(result.lines.size(), 10u);
  EXPECT_EQ(result.lines[1], "  standard error (last 8 lines):");
  std::size_t shown = 0;
  for (std::size_t i = 2; i < result.lines.size(); ++i) {
    std::string expected = "crash line " + std::to_string(i + 3);
    expected.resize(1000, '.');
    EXPECT_EQ(result.lines[i], "    " + expected);
    shown += expected.size() + 1;
  }
  EXPECT_LE(shown, ServiceCheck::kErrorBytes);

  // One line longer than the bound shows its end.
  result = ServiceCheck(store, quick())
               .check(stdioService("long", {"--mode", "crash", "--lines", "1", "--width", "20000"}),
                      test::sampleDevice(), {});
  ASSERT_EQ(result.lines.size(), 3u);
  EXPECT_EQ(result.lines[2], "    …" + std::string(ServiceCheck::kErrorBytes - 1, '.'));
}

TEST_F(ServiceCheckTest, HTTPServicesAsTheForwarderSendsToThem) {
  TestHTTPServer good(mcpHandler);
  TestHTTPServer refusing(TestHTTPServer::reply({401, {}, "token missing"}));
  std::uint16_t closed = test::LoopbackListener().port();
  std::string goodURL = good.url("/mcp");
  std::string refusingURL = refusing.url("/mcp");
  std::string closedURL = "http://127.0.0.1:" + std::to_string(closed) + "/mcp";
  struct Case {
    LocalServer server;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {httpService("web", goodURL),
       {"ok web (http): " + goodURL +
        ", headers none, HTTP 200, protocol 2025-06-18, server fake-http 2.0.0, 3 tools, N ms"}},
      {httpService("denied", refusingURL),
       {"failed denied (http): " + refusingURL + ", headers none, HTTP 401 from initialize, N ms",
        "  answer: \"token missing\""}},
      {httpService("gone", closedURL),
       {"failed gone (http): " + closedURL + ", headers none, nothing accepts connections at " +
        "127.0.0.1:" + std::to_string(closed) + ", N ms"}},
  };
  for (const Case &c : cases) {
    ServiceCheck::Result result =
        ServiceCheck(store, quick()).check(c.server, test::sampleDevice(), {});
    EXPECT_EQ(result.ok, c.lines.front().starts_with("ok ")) << c.lines.front();
    EXPECT_EQ(withoutTimes(result.lines), c.lines);
  }

  // What the good service received: the handshake with our client information, the session
  // carried on, and the session ended.
  std::vector<TestHTTPServer::Request> received = good.requests();
  ASSERT_EQ(received.size(), 4u);
  json initialize = json::parse(received[0].body);
  EXPECT_EQ(initialize["method"], "initialize");
  EXPECT_EQ(initialize["params"]["clientInfo"],
            (json{{"name", "pellum-native"}, {"version", "0.2.0"}}));
  EXPECT_EQ(received[0].header("accept"), "application/json, text/event-stream");
  EXPECT_EQ(json::parse(received[1].body)["method"], "notifications/initialized");
  EXPECT_EQ(json::parse(received[2].body)["method"], "tools/list");
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(received[i].header("mcp-session-id"), "session-1");
    EXPECT_EQ(received[i].header("mcp-protocol-version"), "2025-06-18");
  }
  EXPECT_EQ(received[3].method, "DELETE");
}

TEST_F(ServiceCheckTest, HTTPHeadersAreNamedAndTheirValuesSent) {
  TestHTTPServer good(mcpHandler);
  LocalServer server = httpService("web", good.url("/mcp"));
  server.headers = HeaderMap{{"x-team", "blue"}};
  server.headerEnv = std::map<std::string, std::string>{{"X-Api-Key", "PELLUM_CHECK_KEY"}};
  ServiceCheck::Result result =
      ServiceCheck(store, quick())
          .check(server, test::sampleDevice(), {{"PELLUM_CHECK_KEY", kSecret}});
  ASSERT_TRUE(result.ok);
  EXPECT_NE(result.lines.front().find(", headers x-api-key, x-team, HTTP 200"), std::string::npos)
      << result.lines.front();
  ASSERT_FALSE(good.requests().empty());
  EXPECT_EQ(good.requests()[0].header("x-api-key"), kSecret);

  // A missing variable gives the forwarder's own reason, and its name.
  result = ServiceCheck(store, quick()).check(server, test::sampleDevice(), {});
  EXPECT_EQ(result.lines,
            (std::vector<std::string>{"failed web (http): " + good.url("/mcp") +
                                          ", Missing local header environment variable.",
                                      "  not set: PELLUM_CHECK_KEY"}));
}

TEST_F(ServiceCheckTest, LocalhostIsTriedOnTheIPv6LoopbackToo) {
  TestHTTPServer::Options ipv6Only;
  ipv6Only.address = "::1";
  std::unique_ptr<TestHTTPServer> v6;
  try {
    v6 = std::make_unique<TestHTTPServer>(mcpHandler, ipv6Only);
  } catch (const std::runtime_error &) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  std::string url = "http://localhost:" + std::to_string(v6->port()) + "/mcp";
  ServiceCheck::Result result =
      ServiceCheck(store, quick()).check(httpService("web", url), test::sampleDevice(), {});
  EXPECT_TRUE(result.ok) << result.lines.front();
  ASSERT_FALSE(v6->requests().empty());
  EXPECT_EQ(v6->requests()[0].header("host"), "localhost:" + std::to_string(v6->port()));

  // Refused on both addresses.
  std::string port = std::to_string(v6->port());
  v6.reset();
  result = ServiceCheck(store, quick()).check(httpService("web", url), test::sampleDevice(), {});
  EXPECT_EQ(withoutTimes(result.lines).front(),
            "failed web (http): " + url + ", headers none, nothing accepts connections at " +
                "127.0.0.1:" + port + " or [::1]:" + port + ", N ms");
}

TEST_F(ServiceCheckTest, RunChecksEveryServiceInOrderOrTheNamedOne) {
  DeviceConfig device = test::sampleDevice();
  device.servers = {stdioService("first", {}), stdioService("second", {"--mode", "crash"})};
  store.save(device);
  std::vector<std::string> seen;
  auto report = [&seen](const ServiceCheck::Result &result) {
    seen.push_back(result.lines.front().substr(0, result.lines.front().find(" (")));
  };
  EXPECT_FALSE(ServiceCheck(store, quick()).run({}, report));
  EXPECT_EQ(seen, (std::vector<std::string>{"ok first", "failed second"}));
  seen.clear();
  EXPECT_TRUE(ServiceCheck(store, quick()).run({"first"}, report));
  EXPECT_EQ(seen, (std::vector<std::string>{"ok first"}));

  for (const auto &[word, message] : std::vector<std::pair<std::string, std::string>>{
           {"Nope", "Choose a valid namespace."}, {"third", "Local service not found."}}) {
    try {
      ServiceCheck(store, quick()).run({word}, report);
      ADD_FAILURE() << word;
    } catch (const ConnectorError &error) {
      EXPECT_EQ(error.message, message);
    }
  }
}

TEST_F(ServiceCheckTest, NoProcessOfAServiceOutlivesItsCheck) {
  // A server started through a shell that leaves a grandchild behind in its group.
  fs::path pidFile = directory.path() / "grandchild.pid";
  LocalServer server("family", "Family", "stdio");
  server.command = "/bin/sh";
  server.args = std::vector<std::string>{"-c", "sleep 300 & echo $! > '" + pidFile.string() +
                                                   "'; exec " + fakeServer() + " --mode silent"};
  ServiceCheck::Result result =
      ServiceCheck(store, quick(2s)).check(server, test::sampleDevice(), {});
  EXPECT_FALSE(result.ok);
  expectEnded(pidFile);
}

// Through the connector program.
class CheckProgram : public ServiceCheckTest {
protected:
  // Runs "check" with `words`; with `signal`, sends it to the program once the service whose
  // process writes its pid to "server.pid" has been started.
  test::ProcessResult run(std::vector<std::string> words, std::optional<int> signal = {}) {
    test::ProcessOptions options;
    options.executable = test::connectorPath();
    options.arguments = {test::connectorPath().string(), "check"};
    options.arguments.insert(options.arguments.end(), words.begin(), words.end());
    // A login shell without start-up files keeps the PATH probe short.
    options.environment = test::environmentWith({{"PELLUM_CONFIG_DIR", directory.path().string()},
                                                 {"KESTRIN_CONFIG_DIR", std::nullopt},
                                                 {"HOME", directory.path().string()},
                                                 {"SHELL", "/bin/sh"},
                                                 {"PELLUM_CHECK_SECRET", std::nullopt}});
    std::jthread sender;
    if (signal) {
      sender = std::jthread([this, signal](std::stop_token stop) {
        fs::path pidFile = directory.path() / "server.pid";
        pid_t server = 0;
        for (int i = 0; i < 800 && !stop.stop_requested() && server == 0; ++i) {
          std::this_thread::sleep_for(25ms);
          std::ifstream(pidFile) >> server;
        }
        // The service's parent is the program.
        std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
        std::string number, name, state;
        pid_t parent = 0;
        if (server != 0 && stat >> number >> name >> state >> parent && parent > 1) {
          ::kill(parent, *signal);
        }
      });
    }
    return test::runProcess(options);
  }

  void saveServices(std::vector<LocalServer> servers) {
    DeviceConfig device = test::sampleDevice();
    device.servers = std::move(servers);
    store.save(device);
  }
};

TEST_F(CheckProgram, NeedsAnEnrolledDevice) {
  test::ProcessResult result = run({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError,
            "This Mac is not enrolled. Create a device in your dashboard, then enroll it here.\n");
}

TEST_F(CheckProgram, PrintsEachServiceAndExitsOneWhenAnyFails) {
  saveServices({stdioService("good", {})});
  test::ProcessResult result = run({});
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_TRUE(result.standardOutput.starts_with("ok good (stdio): " + fakeServer()))
      << result.standardOutput;
  EXPECT_EQ(result.standardError, "");

  saveServices({stdioService("good", {}), stdioService("crash", {"--mode", "crash"})});
  result = run({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(result.standardOutput.find("\nfailed crash (stdio): exited with status 3, ") !=
              std::string::npos)
      << result.standardOutput;
  EXPECT_EQ(result.standardError, "");
  // Nothing is written: the directory holds the record and nothing else.
  std::vector<std::string> files;
  for (const auto &entry : fs::directory_iterator(directory.path())) {
    files.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::vector<std::string>{"config.json"}));

  saveServices({});
  result = run({});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput, "No local services are configured.\n");
}

TEST_F(CheckProgram, ASecretFromSecretsEnvAppearsNowhere) {
  TestHTTPServer echoing(
      [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
        exchange.respond({401, {}, "wrong key " + request.header("x-api-key").value_or("")});
      });
  LocalServer echo = httpService("echo", echoing.url("/mcp"));
  echo.headerEnv = std::map<std::string, std::string>{{"x-api-key", "PELLUM_CHECK_SECRET"}};
  saveServices({stdioService("tells", {"--mode", "crash", "--show", "PELLUM_CHECK_SECRET"},
                             {"PELLUM_CHECK_SECRET"}),
                stdioService("prints", {"--mode", "banner", "--show", "PELLUM_CHECK_SECRET"},
                             {"PELLUM_CHECK_SECRET"}),
                echo});
  std::ofstream(directory.path() / "secrets.env") << "PELLUM_CHECK_SECRET=\"" << kSecret << "\"\n";

  test::ProcessResult result = run({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardOutput.find(kSecret), std::string::npos) << result.standardOutput;
  EXPECT_EQ(result.standardError.find(kSecret), std::string::npos);
  // The services did use it: each of them showed it, hidden.
  EXPECT_NE(result.standardOutput.find("    PELLUM_CHECK_SECRET=[hidden]"), std::string::npos)
      << result.standardOutput;
  EXPECT_NE(result.standardOutput.find("starting up with PELLUM_CHECK_SECRET=[hidden]\""),
            std::string::npos);
  EXPECT_NE(result.standardOutput.find("  answer: \"wrong key [hidden]\""), std::string::npos);
}

TEST_F(CheckProgram, AStopEndsTheServiceInHandAndTheCommand) {
  fs::path pidFile = directory.path() / "server.pid";
  LocalServer server("silent", "Silent", "stdio");
  server.command = "/bin/sh";
  server.args = std::vector<std::string>{"-c", "echo $$ > '" + pidFile.string() + "'; exec " +
                                                   fakeServer() + " --mode silent"};
  saveServices({server});
  test::ProcessResult result = run({}, SIGINT);
  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError, "Check stopped before every service was checked.\n");
  expectEnded(pidFile);
}

} // namespace
} // namespace pellum
