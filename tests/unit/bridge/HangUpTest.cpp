// What a client's leaving does to its request: shutting down its sending side after a complete
// request ends nothing, and it still gets its answer; a reset stops the request.

#include "BridgeFixture.h"

#include "TestHTTPServer.h"

#include <future>

namespace pellum::bridgetest {
namespace {

// Longer than the bridge takes to start watching a client whose request it has read.
constexpr auto kWorking = 300ms;

// Sends `raw` on a new connection, shuts down the sending side and reads the whole answer.
Response halfClosedExchange(std::uint16_t port, const std::string &raw) {
  test::LoopbackSocket client = test::LoopbackSocket::connect(port);
  EXPECT_TRUE(client.write(raw));
  client.shutdownWrite();
  return parseResponse(client.readAll());
}

TEST_F(BridgeTest, HalfClosedClientGetsItsStdioAnswerAndKeepsItsSession) {
  startBridge({stdioServer("slow", "normal", {"--delay", "300"})});
  std::string session = initialize("slow");
  Response response = halfClosedExchange(
      port_,
      rawRequest(
          "POST", "/s/slow",
          {{"authorization", goodCredentials()},
           {"content-type", "application/json"},
           {"mcp-session-id", session}},
          rpc(7, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "half"}}}}).dump()));
  ASSERT_EQ(response.status, "HTTP/1.1 200 Response") << response.body;
  EXPECT_EQ(response.parsed()["id"], 7);
  EXPECT_EQ(response.parsed()["result"]["arguments"]["text"], "half");
  EXPECT_EQ(post("slow", rpc(8, "tools/list"), session).status, "HTTP/1.1 200 Response");
  EXPECT_EQ(bridge_->sessionCount(), 1u);
}

TEST_F(BridgeTest, HalfClosedClientGetsItsHTTPServiceAnswer) {
  test::TestHTTPServer local(
      [](const test::TestHTTPServer::Request &request, test::TestHTTPServer::Exchange &exchange) {
        std::this_thread::sleep_for(kWorking);
        exchange.respond({200, {{"content-type", "text/plain"}}, "late " + request.body});
      });
  LocalServer web("web", "Web", "http");
  web.url = local.url("/mcp");
  startBridge({web});
  Response response = halfClosedExchange(
      port_,
      rawRequest("POST", "/s/web",
                 {{"authorization", goodCredentials()}, {"content-type", "text/plain"}}, "hello"));
  EXPECT_EQ(response.status, "HTTP/1.1 200 Response");
  EXPECT_NE(response.body.find("late hello"), std::string::npos) << response.body;
  EXPECT_TRUE(response.body.ends_with("0\r\n\r\n")) << response.body; // whole, not cut
}

TEST_F(BridgeTest, ResetStopsAForwardedRequest) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  test::TestHTTPServer local(
      [released](const test::TestHTTPServer::Request &, test::TestHTTPServer::Exchange &exchange) {
        released.wait();
        exchange.respond({200, {}, "too late"});
      });
  LocalServer web("web", "Web", "http");
  web.url = local.url("/mcp");
  startBridge({web});
  test::LoopbackSocket client = test::LoopbackSocket::connect(port_);
  ASSERT_TRUE(client.write(rawRequest("GET", "/s/web", {{"authorization", goodCredentials()}})));
  ASSERT_TRUE(eventually([&] { return local.requests().size() == 1; }));
  client.reset();
  // Stopped while the service still works on it.
  EXPECT_TRUE(eventually([&] { return bridge_->requestCount() == 0; }));
  release.set_value();
}

} // namespace
} // namespace pellum::bridgetest
