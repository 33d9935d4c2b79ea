#include "stdio/StdioSession.h"

#include "Eventually.h"
#include "Paths.h"
#include "ProcessLeaks.h"
#include "Refusal.h"
#include "TempDir.h"
#include "platform/User.h"
#include "stdio/ExecutableFinder.h"
#include "support/ConnectorError.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <system_error>
#include <thread>

namespace pellum {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kFailed = "Local MCP operation failed or timed out.";
const std::string kClosed = "Local MCP session closed.";

std::string fakeServer() { return (test::binDir() / "fake_mcp_server").string(); }

LocalServer server(const std::string &mode, std::vector<std::string> extra = {}) {
  LocalServer result("fake", "Fake", "stdio");
  result.command = fakeServer();
  std::vector<std::string> args{"--mode", mode};
  args.insert(args.end(), extra.begin(), extra.end());
  result.args = args;
  return result;
}

StdioSession::Options options(std::optional<std::string> shellPath = std::nullopt) {
  StdioSession::Options result;
  result.initializeTimeout = 10s;
  result.killGrace = 300ms;
  result.shellPath = [shellPath] { return shellPath; };
  return result;
}

json echo(const std::string &text) { return {{"name", "echo"}, {"arguments", {{"text", text}}}}; }

// One request with `params` (when not null), its answer parsed.
json ask(StdioSession &session, const std::string &method, const json &params,
         std::chrono::milliseconds timeout, std::stop_token stop = {}) {
  std::optional<std::string> text;
  if (!params.is_null()) {
    text = params.dump();
  }
  return json::parse(session.request(method, text, timeout, stop).message);
}

json initialized(StdioSession &session, const std::string &version) {
  return json::parse(session.initialize(version).dump());
}

using test::eventually;
using test::refusal;

class StdioSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    threads_ = test::threadCount();
    descriptors_ = test::openDescriptorCount();
  }
  void TearDown() override {
    EXPECT_FALSE(test::hasChildProcesses());
    // A joined thread can stay listed for a moment while the kernel finishes its exit.
    EXPECT_TRUE(eventually([&] { return test::threadCount() == threads_; }));
    EXPECT_EQ(test::openDescriptorCount(), descriptors_);
  }

  Environment environment_{{"PATH", "/usr/bin:/bin"}};

private:
  std::size_t threads_ = 0;
  std::size_t descriptors_ = 0;
};

TEST_F(StdioSessionTest, HandshakeReportsReducedCapabilitiesAndOurServerInfo) {
  test::TempDir temp;
  const auto log = temp.path() / "received.log";
  {
    StdioSession session(server("normal", {"--log", log.string()}), environment_, options());
    EXPECT_EQ(session.slug(), "fake");
    json result = initialized(session, "2025-03-26");
    EXPECT_EQ(result, json::parse(R"({"protocolVersion": "2025-03-26",
        "capabilities": {"tools": {}, "prompts": {}},
        "serverInfo": {"name": "pellum-native", "version": "0.2.0"},
        "instructions": "Fake server for tests."})"));

    json answer = ask(session, "resources/read", json{{"uri", "fake://one"}}, 10s);
    EXPECT_EQ(answer["result"]["contents"][0]["text"], "contents of fake://one");
    EXPECT_EQ(ask(session, "ping", nullptr, 10s)["result"], json::object());
  }
  std::ifstream file(log);
  std::vector<json> received;
  for (std::string line; std::getline(file, line);) {
    received.push_back(json::parse(line));
  }
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0], json::parse(R"({"jsonrpc": "2.0", "id": 1, "method": "initialize",
      "params": {"protocolVersion": "2025-03-26", "capabilities": {},
                 "clientInfo": {"name": "pellum-native", "version": "0.2.0"}}})"));
  EXPECT_EQ(received[1],
            json::parse(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})"));
  EXPECT_EQ(received[2]["id"], 2);
  EXPECT_EQ(received[3], json::parse(R"({"jsonrpc": "2.0", "id": 3, "method": "ping"})"));
}

TEST_F(StdioSessionTest, RefusedHandshakeClosesTheSessionAndEndsTheChild) {
  for (const char *mode : {"old-version", "initialize-error"}) {
    SCOPED_TRACE(mode);
    StdioSession session(server(mode), environment_, options());
    EXPECT_EQ(refusal([&] { session.initialize("2025-11-25"); }),
              "Local MCP initialization failed.");
    EXPECT_TRUE(session.closed());
    EXPECT_TRUE(eventually([&] { return !session.running(); }));
  }
}

TEST_F(StdioSessionTest, BannerOrSilenceFailsTheHandshake) {
  for (const char *mode : {"banner", "silent"}) {
    SCOPED_TRACE(mode);
    StdioSession::Options shortWait = options();
    shortWait.initializeTimeout = 200ms;
    StdioSession session(server(mode), environment_, shortWait);
    EXPECT_EQ(refusal([&] { session.initialize("2025-11-25"); }), kFailed);
    EXPECT_TRUE(session.closed());
    EXPECT_EQ(refusal([&] { ask(session, "ping", nullptr, 10s); }), kClosed);
  }
}

TEST_F(StdioSessionTest, AnswersInReverseOrderReachTheirCallers) {
  StdioSession session(server("reverse"), environment_, options());
  session.initialize("2025-11-25");
  json first, second;
  std::thread other([&] { first = ask(session, "tools/call", echo("first"), 10s); });
  second = ask(session, "tools/call", echo("second"), 10s);
  other.join();
  EXPECT_EQ(first["result"]["arguments"]["text"], "first");
  EXPECT_EQ(second["result"]["arguments"]["text"], "second");
  EXPECT_EQ(first["id"].get<int>() + second["id"].get<int>(), 2 + 3);
}

TEST_F(StdioSessionTest, StrayAnswersAreDropped) {
  StdioSession session(server("normal"), environment_, options());
  session.initialize("2025-11-25");
  json answer = ask(session, "tools/call", json{{"name", "decoy"}}, 10s);
  EXPECT_EQ(answer["result"], json({{"decoy", false}}));
  EXPECT_FALSE(session.closed());
}

TEST_F(StdioSessionTest, ServerRequestIsRefusedAndNotificationIgnored) {
  StdioSession session(server("server-request"), environment_, options());
  session.initialize("2025-11-25");
  // The server's request reuses the id of our pending request: it must not be taken for the
  // answer. The next message the server reads is our refusal (nothing for its notification).
  json answer = ask(session, "tools/call", echo("x"), 10s);
  EXPECT_EQ(answer["result"]["reply"],
            json({{"jsonrpc", "2.0"},
                  {"id", 2},
                  {"error",
                   {{"code", -32601},
                    {"message", "Client method not supported: sampling/createMessage"}}}}));
  EXPECT_FALSE(session.closed());
}

TEST_F(StdioSessionTest, LinesUpToTheLimitAreRead) {
  StdioSession session(server("normal"), environment_, options());
  session.initialize("2025-11-25");
  json arguments = {{"bytes", StdioSession::kMessageLimit}};
  json answer = ask(session, "tools/call", json{{"name", "pad"}, {"arguments", arguments}}, 10s);
  EXPECT_EQ(answer.dump().size(), StdioSession::kMessageLimit);
  EXPECT_EQ(ask(session, "ping", nullptr, 10s)["result"], json::object());
}

TEST_F(StdioSessionTest, UnreadableOutputClosesTheSession) {
  for (const char *mode : {"garbage", "oversized", "unterminated"}) {
    SCOPED_TRACE(mode);
    StdioSession session(server(mode), environment_, options());
    session.initialize("2025-11-25");
    EXPECT_EQ(refusal([&] { ask(session, "tools/call", echo("x"), 10s); }), kFailed);
    EXPECT_TRUE(session.closed());
    EXPECT_EQ(refusal([&] { ask(session, "tools/list", nullptr, 10s); }), kClosed);
  }
}

TEST_F(StdioSessionTest, ErrorAnswerIsReturnedWhole) {
  StdioSession session(server("error"), environment_, options());
  session.initialize("2025-11-25");
  json answer = ask(session, "tools/call", echo("x"), 10s);
  EXPECT_EQ(answer["error"]["message"], "tool failed");
  EXPECT_FALSE(session.closed());
}

TEST_F(StdioSessionTest, TimeOutFailsEveryWaitingRequest) {
  StdioSession session(server("hang-tools-call"), environment_, options());
  session.initialize("2025-11-25");
  auto before = session.touched();
  std::string otherError;
  std::thread other(
      [&] { otherError = refusal([&] { ask(session, "tools/call", echo("long"), 60s); }); });
  ASSERT_TRUE(eventually([&] { return session.touched() != before; }));
  EXPECT_EQ(refusal([&] { ask(session, "tools/call", echo("short"), 200ms); }), kFailed);
  other.join();
  EXPECT_EQ(otherError, kFailed);
  EXPECT_EQ(refusal([&] { ask(session, "ping", nullptr, 10s); }), kClosed);
}

TEST_F(StdioSessionTest, CancelledRequestClosesTheSession) {
  StdioSession session(server("hang-tools-call"), environment_, options());
  session.initialize("2025-11-25");
  std::stop_source stop;
  auto before = session.touched();
  std::thread canceller([&] {
    if (eventually([&] { return session.touched() != before; })) {
      stop.request_stop();
    }
  });
  EXPECT_EQ(refusal([&] { ask(session, "tools/call", echo("x"), 60s, stop.get_token()); }),
            kFailed);
  canceller.join();
  EXPECT_TRUE(session.closed());
}

TEST_F(StdioSessionTest, OutgoingMessageOverTheLimitClosesTheSession) {
  StdioSession session(server("normal"), environment_, options());
  session.initialize("2025-11-25");
  json big = {{"name", "echo"},
              {"arguments", {{"text", std::string(StdioSession::kMessageLimit, 'x')}}}};
  EXPECT_EQ(refusal([&] { ask(session, "tools/call", big, 10s); }), kFailed);
  EXPECT_TRUE(session.closed());
}

TEST_F(StdioSessionTest, TouchedIsReadFromTheSessionsClock) {
  ManualClock clock;
  StdioSession::Options chosen = options();
  chosen.clock = &clock;
  StdioSession session(server("normal"), environment_, chosen);
  const auto created = clock.now();
  EXPECT_EQ(session.touched(), created);
  clock.advance(300s);
  session.initialize("2025-11-25"); // the handshake is a request too
  EXPECT_EQ(session.touched(), created + 300s);
  clock.advance(1h);
  // Time limits stay real time: an hour on this clock ends no request.
  EXPECT_EQ(ask(session, "ping", nullptr, 10s)["result"], json::object());
  EXPECT_EQ(session.touched(), created + 300s + 1h);
  EXPECT_FALSE(session.closed());
}

TEST_F(StdioSessionTest, ChildThatIgnoresSigtermIsKilledAfterTheGrace) {
  StdioSession session(server("ignore-sigterm"), environment_, options());
  session.initialize("2025-11-25");
  pid_t pid = session.processId();
  session.close();
  session.close();
  // Still there right after SIGTERM (it ignores it) ...
  EXPECT_TRUE(session.running());
  // ... and gone once the grace is over.
  EXPECT_TRUE(eventually([&] { return !session.running(); }));
  EXPECT_NE(::kill(pid, 0), 0);
}

TEST_F(StdioSessionTest, ChildExitClosesTheSession) {
  StdioSession session(server("exit-after-initialize"), environment_, options());
  try {
    session.initialize("2025-11-25"); // the notification may or may not still get through
  } catch (const std::exception &) {
  }
  EXPECT_TRUE(eventually([&] { return session.closed(); }));
  EXPECT_EQ(refusal([&] { ask(session, "tools/list", nullptr, 10s); }), kClosed);
}

TEST_F(StdioSessionTest, ChildGetsOnlyItsEnvironmentArgumentsAndDirectory) {
  test::TempDir temp;
  LocalServer service = server("normal");
  service.envNames = {"API_TOKEN", "MISSING_VARIABLE", "HOME"};
  service.cwd = temp.path().string();
  Environment given{{"HOME", "/home/someone"}, {"PATH", "/given/bin"}, {"LANG", "C.UTF-8"},
                    {"API_TOKEN", "secret"},   {"UNLISTED", "nope"},   {"TMPDIR", "/tmp"}};
  StdioSession session(service, given, options("/shell/bin"));
  session.initialize("2025-11-25");
  json result = ask(session, "tools/call", json{{"name", "environment"}}, 10s)["result"];
  EXPECT_EQ(
      result["environment"],
      json({{"HOME", "/home/someone"},
            {"PATH", "/given/bin:/shell/bin:" + std::string(ExecutableFinder::kDefaultSearchPath)},
            {"LANG", "C.UTF-8"},
            {"API_TOKEN", "secret"},
            {"TMPDIR", "/tmp"}}));
  EXPECT_EQ(std::filesystem::path(result["cwd"].get<std::string>()),
            std::filesystem::canonical(temp.path()));
  EXPECT_EQ(result["arguments"], json({fakeServer(), "--mode", "normal"}));
}

TEST_F(StdioSessionTest, WorkingDirectoryDefaultsToHome) {
  StdioSession session(server("normal"), environment_, options());
  session.initialize("2025-11-25");
  json result = ask(session, "tools/call", json{{"name", "environment"}}, 10s)["result"];
  EXPECT_EQ(std::filesystem::canonical(result["cwd"].get<std::string>()),
            std::filesystem::canonical(homeDirectory()));
}

TEST_F(StdioSessionTest, CommandIsResolvedOnTheSearchPath) {
  LocalServer bare = server("normal");
  bare.command = "fake_mcp_server";
  {
    // Found through the login shell's PATH when the inherited one lacks it.
    StdioSession session(bare, environment_, options(test::binDir().string()));
    EXPECT_EQ(session.initialize("2025-11-25")["serverInfo"]["name"], "pellum-native");
  }
  {
    Environment withBin{{"PATH", test::binDir().string()}};
    StdioSession session(bare, withBin, options());
    EXPECT_EQ(session.initialize("2025-11-25")["protocolVersion"], "2025-11-25");
  }
  bare.command = "no-such-mcp-server";
  EXPECT_EQ(refusal([&] { StdioSession(bare, environment_, options()); }),
            "Local MCP executable 'no-such-mcp-server' was not found in the configured or "
            "shell PATH.");

  LocalServer absent = server("normal");
  absent.command = "/nonexistent/mcp-server";
  StdioSession session(absent, environment_, options());
  EXPECT_THROW(session.initialize("2025-11-25"), std::system_error);
  EXPECT_EQ(refusal([&] { ask(session, "ping", nullptr, 10s); }), kClosed);
}

} // namespace
} // namespace pellum
