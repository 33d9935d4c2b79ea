// The MCP endpoint that the bridge presents for stdio services, with the fake server as child.

#include "BridgeFixture.h"

#include <future>

namespace pellum::bridgetest {
namespace {

const std::string kInitFailed =
    "Local MCP initialization failed. Check the command and environment.";
const std::string kOperationFailed = "Local MCP operation failed or timed out.";

bool isUpperCaseUUID(const std::string &text) {
  return isUUID(text) &&
         std::none_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

void expectEmpty(const Response &response, const std::string &status,
                 std::map<std::string, std::string> more = {}) {
  EXPECT_EQ(response.status, status);
  EXPECT_EQ(response.headers, emptyHeaders(std::move(more)));
  EXPECT_EQ(response.body, "");
}

void expectJSONError(const Response &response, const std::string &sentence) {
  EXPECT_EQ(response.status, "HTTP/1.1 502 Response");
  EXPECT_EQ(response.headers, jsonHeaders(errorJSON(sentence).size()));
  EXPECT_EQ(response.body, errorJSON(sentence));
}

json rpcAnswer(const Response &response) {
  EXPECT_EQ(response.status, "HTTP/1.1 200 Response");
  EXPECT_EQ(response.headers, jsonHeaders(response.body.size()));
  return response.parsed();
}

std::size_t countOf(const std::string &text, const std::string &part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(BridgeTest, InitializeOpensASessionAndForwardsTheSevenMethods) {
  startBridge({stdioServer("notes")});
  Response opened = post("notes", rpc("first", "initialize", {{"protocolVersion", "2025-03-26"}}));
  ASSERT_EQ(opened.status, "HTTP/1.1 200 Response");
  std::string session = opened.headers["mcp-session-id"];
  EXPECT_TRUE(isUpperCaseUUID(session)) << session;
  EXPECT_EQ(opened.headers, jsonHeaders(opened.body.size(), {{"mcp-session-id", session}}));
  EXPECT_EQ(opened.parsed(),
            json({{"jsonrpc", "2.0"},
                  {"id", "first"},
                  {"result",
                   {{"protocolVersion", "2025-03-26"},
                    {"capabilities", {{"tools", json::object()}, {"prompts", json::object()}}},
                    {"serverInfo", {{"name", "pellum-native"}, {"version", "0.2.0"}}},
                    {"instructions", "Fake server for tests."}}}}));

  json listed = rpcAnswer(post("notes", rpc(2, "tools/list"), session));
  EXPECT_EQ(listed["id"], 2);
  EXPECT_EQ(listed["result"]["tools"][0]["name"], "echo");
  json called = rpcAnswer(
      post("notes", rpc("call", "tools/call", {{"name", "echo"}, {"arguments", {{"text", "hi"}}}}),
           session));
  EXPECT_EQ(called["id"], "call");
  EXPECT_EQ(called["result"]["content"][0]["text"], "hi");
  json read = rpcAnswer(post("notes", rpc(4, "resources/read", {{"uri", "fake://one"}}), session));
  EXPECT_EQ(read["result"]["contents"][0]["text"], "contents of fake://one");
  // The child sees ids of the session's own, not the client's.
  EXPECT_EQ(countOf(logOf("notes"), "\"id\":\"call\""), 0u);

  // Methods the child does not know come back as its error, reduced to ours.
  for (const char *method : {"prompts/get", "resources/templates/list"}) {
    json failed = rpcAnswer(post("notes", rpc(9, method), session));
    EXPECT_EQ(failed,
              json({{"jsonrpc", "2.0"},
                    {"id", 9},
                    {"error", {{"code", -32603}, {"message", "Local MCP operation failed."}}}}))
        << method;
  }

  expectEmpty(call("DELETE", "/s/notes", {{"mcp-session-id", session}}), "HTTP/1.1 200 Response");
  EXPECT_EQ(bridge_->sessionCount(), 0u);
  expectEmpty(post("notes", rpc(5, "ping"), session), "HTTP/1.1 404 Response");
}

TEST_F(BridgeTest, ProtocolVersionNegotiation) {
  startBridge({stdioServer("notes")});
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"protocolVersion", "2024-11-05"}}, "2024-11-05"},
      {{{"protocolVersion", "2025-06-18"}}, "2025-06-18"},
      {{{"protocolVersion", "1999-01-01"}}, "2025-11-25"},
      {{{"protocolVersion", 20250326}}, "2025-11-25"},
      {json::object(), "2025-11-25"},
      {json::array({"2025-03-26"}), "2025-11-25"},
      {nullptr, "2025-11-25"}, // no params at all
  };
  for (const auto &[params, expected] : cases) {
    Response response = post("notes", rpc(1, "initialize", params));
    EXPECT_EQ(response.parsed()["result"]["protocolVersion"], expected) << params.dump();
  }
  // What the child was asked for, in the same order.
  std::string log = logOf("notes");
  EXPECT_EQ(countOf(log, "\"protocolVersion\":\"2025-11-25\""), 5u);
  EXPECT_EQ(countOf(log, "\"protocolVersion\":\"2024-11-05\""), 1u);
}

TEST_F(BridgeTest, RefusedMessagesAndMissingSessions) {
  startBridge({stdioServer("notes"), stdioServer("other")});
  std::string session = initialize("notes");
  std::string foreign = initialize("other");
  struct Case {
    const char *name;
    std::string method;
    Headers headers;
    std::string body;
    std::string status;
    std::map<std::string, std::string> extra;
  };
  const Headers json_ = {{"content-type", "application/json"}};
  auto in = [&](Headers headers) {
    headers.emplace_back("mcp-session-id", session);
    return headers;
  };
  const std::string ping = rpc(1, "ping").dump();
  const std::vector<Case> cases = {
      {"DELETE without session", "DELETE", {}, "", "HTTP/1.1 400 Response", {}},
      {"GET without session", "GET", {}, "", "HTTP/1.1 400 Response", {{"allow", "POST, DELETE"}}},
      {"GET with session", "GET", in({}), "", "HTTP/1.1 405 Response", {{"allow", "POST, DELETE"}}},
      {"unknown session",
       "POST",
       {{"content-type", "application/json"}, {"mcp-session-id", "X"}},
       ping,
       "HTTP/1.1 404 Response",
       {}},
      {"lower-case session id",
       "POST",
       {{"content-type", "application/json"},
        {"mcp-session-id",
         [&] {
           std::string lower = session;
           for (char &c : lower) {
             c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
           }
           return lower;
         }()}},
       ping,
       "HTTP/1.1 404 Response",
       {}},
      {"session of another namespace",
       "POST",
       {{"content-type", "application/json"}, {"mcp-session-id", foreign}},
       ping,
       "HTTP/1.1 404 Response",
       {}},
      {"DELETE of another namespace's session",
       "DELETE",
       {{"mcp-session-id", foreign}},
       "",
       "HTTP/1.1 404 Response",
       {}},
      {"no content type", "POST", in({}), ping, "HTTP/1.1 400 Response", {}},
      {"text content type",
       "POST",
       in({{"content-type", "text/plain"}}),
       ping,
       "HTTP/1.1 400 Response",
       {}},
      {"not JSON", "POST", in(json_), "{", "HTTP/1.1 400 Response", {}},
      {"JSON array", "POST", in(json_), "[" + ping + "]", "HTTP/1.1 400 Response", {}},
      {"empty body", "POST", in(json_), "", "HTTP/1.1 400 Response", {}},
      {"jsonrpc 1.0",
       "POST",
       in(json_),
       R"({"jsonrpc":"1.0","id":1,"method":"ping"})",
       "HTTP/1.1 400 Response",
       {}},
      {"jsonrpc number",
       "POST",
       in(json_),
       R"({"jsonrpc":2.0,"id":1,"method":"ping"})",
       "HTTP/1.1 400 Response",
       {}},
      {"no method", "POST", in(json_), R"({"jsonrpc":"2.0","id":1})", "HTTP/1.1 400 Response", {}},
      {"method number",
       "POST",
       in(json_),
       R"({"jsonrpc":"2.0","id":1,"method":7})",
       "HTTP/1.1 400 Response",
       {}},
      {"null id",
       "POST",
       in(json_),
       R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
       "HTTP/1.1 400 Response",
       {}},
      {"object id",
       "POST",
       in(json_),
       R"({"jsonrpc":"2.0","id":{},"method":"ping"})",
       "HTTP/1.1 400 Response",
       {}},
      {"deeply nested",
       "POST",
       in(json_),
       R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + std::string(100000, '[') +
           std::string(100000, ']') + "}",
       "HTTP/1.1 400 Response",
       {}},
      {"notification without session",
       "POST",
       json_,
       notification("notifications/initialized").dump(),
       "HTTP/1.1 400 Response",
       {}},
      {"initialize without id",
       "POST",
       json_,
       notification("initialize").dump(),
       "HTTP/1.1 400 Response",
       {}},
      {"other request without session",
       "POST",
       json_,
       rpc(1, "tools/list").dump(),
       "HTTP/1.1 400 Response",
       {}},
  };
  for (const Case &entry : cases) {
    expectEmpty(call(entry.method, "/s/notes", entry.headers, entry.body), entry.status,
                entry.extra);
    if (HasFailure()) {
      ADD_FAILURE() << entry.name;
      return;
    }
  }
  // A charset after the media type, in any letter case, is fine.
  EXPECT_EQ(call("POST", "/s/notes",
                 {{"content-type", "Application/JSON; charset=utf-8"}, {"mcp-session-id", session}},
                 ping)
                .status,
            "HTTP/1.1 200 Response");
  EXPECT_EQ(bridge_->sessionCount(), 2u);
}

TEST_F(BridgeTest, MessagesWithinASession) {
  startBridge({stdioServer("notes")});
  std::string session = initialize("notes");
  const std::vector<std::pair<json, json>> cases = {
      {rpc(0, "ping"), {{"jsonrpc", "2.0"}, {"id", 0}, {"result", json::object()}}},
      {rpc("abc", "ping"), {{"jsonrpc", "2.0"}, {"id", "abc"}, {"result", json::object()}}},
      {rpc(-1.5, "ping"), {{"jsonrpc", "2.0"}, {"id", -1.5}, {"result", json::object()}}},
      {rpc(7, "initialize"),
       {{"jsonrpc", "2.0"},
        {"id", 7},
        {"error", {{"code", -32601}, {"message", "Method not supported"}}}}},
      {rpc("x", "logging/setLevel", {{"level", "info"}}),
       {{"jsonrpc", "2.0"},
        {"id", "x"},
        {"error", {{"code", -32601}, {"message", "Method not supported"}}}}},
  };
  for (const auto &[message, expected] : cases) {
    EXPECT_EQ(rpcAnswer(post("notes", message, session)), expected) << message.dump();
  }
  for (const char *method : {"notifications/initialized", "notifications/roots/list_changed"}) {
    expectEmpty(post("notes", notification(method), session), "HTTP/1.1 202 Response");
  }
  // The child handles its input in order: once this is answered, it has logged all before.
  rpcAnswer(post("notes", rpc(2, "tools/list"), session));
  std::string log = logOf("notes");
  EXPECT_EQ(countOf(log, "\"method\":\"notifications/initialized\""), 1u); // the session's own
  EXPECT_EQ(countOf(log, "roots/list_changed"), 0u);
  EXPECT_EQ(countOf(log, "\"method\":\"ping\""), 0u);
  EXPECT_EQ(countOf(log, "\"method\":\"initialize\""), 1u);
  EXPECT_EQ(bridge_->sessionCount(), 1u);

  expectEmpty(post("notes", notification("notifications/cancelled"), session),
              "HTTP/1.1 202 Response");
  EXPECT_EQ(bridge_->sessionCount(), 0u);
  expectEmpty(post("notes", rpc(1, "ping"), session), "HTTP/1.1 404 Response");
}

TEST_F(BridgeTest, ChildErrorsAreReducedToOneSentence) {
  startBridge({stdioServer("errs", "error"), stdioServer("broken", "initialize-error"),
               stdioServer("garbage", "garbage")});
  std::string session = initialize("errs");
  json answer = rpcAnswer(post("errs", rpc(3, "tools/call", {{"name", "echo"}}), session));
  EXPECT_EQ(answer,
            json({{"jsonrpc", "2.0"},
                  {"id", 3},
                  {"error", {{"code", -32603}, {"message", "Local MCP operation failed."}}}}));

  expectJSONError(post("broken", rpc(1, "initialize")), kInitFailed);
  EXPECT_EQ(bridge_->sessionCount(), 1u);

  std::string spoilt = initialize("garbage");
  expectJSONError(post("garbage", rpc(2, "tools/call", {{"name", "echo"}}), spoilt),
                  kOperationFailed);
}

TEST_F(BridgeTest, ThirtyThirdSessionIsRefusedWithoutStartingAProcess) {
  startBridge({stdioServer("notes")});
  std::vector<std::future<Response>> opening;
  for (std::size_t i = 0; i < NativeBridge::kMaxSessions; ++i) {
    opening.push_back(
        std::async(std::launch::async, [this] { return post("notes", rpc(1, "initialize")); }));
  }
  for (auto &response : opening) {
    EXPECT_EQ(response.get().status, "HTTP/1.1 200 Response");
  }
  ASSERT_EQ(bridge_->sessionCount(), NativeBridge::kMaxSessions);
  expectEmpty(post("notes", rpc(1, "initialize")), "HTTP/1.1 429 Response", {{"retry-after", "5"}});
  EXPECT_EQ(countOf(logOf("notes"), "\"method\":\"initialize\""), NativeBridge::kMaxSessions);
}

TEST_F(BridgeTest, TimeOutFailsEveryPendingRequestUntilPruned) {
  NativeBridge::Options chosen = options();
  chosen.forwardTimeout = 500ms;
  startBridge({stdioServer("hang", "hang-tools-call")}, chosen);
  std::string session = initialize("hang");
  auto call = [&] {
    return std::async(std::launch::async, [&] {
      return post("hang", rpc(1, "tools/call", {{"name", "echo"}}), session);
    });
  };
  auto first = call();
  auto second = call();
  // The child hangs, yet ping is answered meanwhile.
  ASSERT_TRUE(eventually([&] { return countOf(logOf("hang"), "tools/call") == 2; }));
  EXPECT_EQ(rpcAnswer(post("hang", rpc(8, "ping"), session))["result"], json::object());
  expectJSONError(first.get(), kOperationFailed);
  expectJSONError(second.get(), kOperationFailed);

  // The session closed itself: it fails at once until a pass removes it.
  expectJSONError(post("hang", rpc(2, "tools/list"), session), kOperationFailed);
  bridge_->prune();
  EXPECT_EQ(bridge_->sessionCount(), 0u);
  expectEmpty(post("hang", rpc(3, "tools/list"), session), "HTTP/1.1 404 Response");
}

TEST_F(BridgeTest, LeaseThatRunsOutDuringAWaitGives502) {
  startBridge({stdioServer("slow", "normal", {"--delay", "1500"})});
  std::string session = initialize("slow");
  auto answer = std::async(std::launch::async, [&] {
    return post("slow", rpc(1, "tools/call", {{"name", "echo"}}), session);
  });
  ASSERT_TRUE(eventually([&] { return countOf(logOf("slow"), "tools/call") == 1; }));
  // The lease runs out while the child works on its answer; no pruning pass runs meanwhile.
  clock_.advance(90s);
  expectJSONError(answer.get(), kOperationFailed);
  EXPECT_EQ(countOf(logOf("slow"), "tools/call"), 1u);
}

TEST_F(BridgeTest, ClientThatResetsDuringAToolsCallEndsTheSession) {
  startBridge({stdioServer("hang", "hang-tools-call")});
  std::string session = initialize("hang");
  {
    test::LoopbackSocket client = test::LoopbackSocket::connect(port_);
    client.write(rawRequest("POST", "/s/hang",
                            {{"authorization", goodCredentials()},
                             {"content-type", "application/json"},
                             {"mcp-session-id", session}},
                            rpc(1, "tools/call", {{"name", "echo"}}).dump()));
    ASSERT_TRUE(eventually([&] { return countOf(logOf("hang"), "tools/call") == 1; }));
    client.reset();
  }
  ASSERT_TRUE(eventually([&] { return bridge_->requestCount() == 0; }));
  // The session closed itself: it answers 502 until a pass removes it.
  expectJSONError(post("hang", rpc(2, "tools/list"), session), kOperationFailed);
  bridge_->prune();
  EXPECT_EQ(bridge_->sessionCount(), 0u);
}

TEST_F(BridgeTest, IdsComeBackExactlyAsTheyWereWritten) {
  startBridge({stdioServer("notes"), stdioServer("errs", "error")});
  const std::string errs = initialize("errs");
  for (const std::string id : {"1e2", "-0", "12345678901234567890123", R"("x")", "0", "-1.50"}) {
    SCOPED_TRACE(id);
    auto send = [&](const std::string &method, const std::optional<std::string> &session,
                    const std::string &slug = "notes") {
      Headers headers{{"content-type", "application/json"}};
      if (session) {
        headers.emplace_back("mcp-session-id", *session);
      }
      std::string body = R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method +
                         R"(","params":{"name":"echo","arguments":{"text":"t"}}})";
      return call("POST", "/s/" + slug, headers, body).body;
    };
    const std::string prefix = R"({"jsonrpc":"2.0","id":)" + id + ",";
    Response opened = post("notes", rpc(1, "initialize"));
    std::string session = opened.headers["mcp-session-id"];
    // Answered by the bridge, passed to the child, refused, and the child's error.
    EXPECT_TRUE(send("initialize", std::nullopt).starts_with(prefix));
    EXPECT_EQ(send("ping", session), prefix + R"("result":{}})");
    EXPECT_TRUE(send("tools/call", session).starts_with(prefix + R"("result":{)"));
    EXPECT_EQ(send("logging/setLevel", session),
              prefix + R"("error":{"code":-32601,"message":"Method not supported"}})");
    EXPECT_EQ(send("tools/call", errs, "errs"),
              prefix + R"("error":{"code":-32603,"message":"Local MCP operation failed."}})");
    call("DELETE", "/s/notes", {{"mcp-session-id", session}});
  }
}

TEST_F(BridgeTest, AnswersKeepTheMembersAsTheChildWroteThem) {
  startBridge({stdioServer("unordered", "unordered-schema")});
  std::string session = initialize("unordered");
  Response listed = post("unordered", rpc(7, "tools/list"), session);
  EXPECT_EQ(listed.body,
            R"({"jsonrpc":"2.0","id":7,"result":{"tools":[{"name":"create","inputSchema":)"
            R"({"type":"object","properties":{"zeta":{"type":"string"},"alpha":{"type":"number",)"
            R"("maximum":1e2}},"required":["zeta"]}}]}})");
  // Params reach the child in the client's order too.
  call("POST", "/s/unordered", {{"content-type", "application/json"}, {"mcp-session-id", session}},
       R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"x","arguments":)"
       R"({"z":1,"a":2e0}}})");
  EXPECT_NE(logOf("unordered").find(R"("params":{"name":"x","arguments":{"z":1,"a":2e0}})"),
            std::string::npos)
      << logOf("unordered");
}

} // namespace
} // namespace pellum::bridgetest
