// The listener, the connection limits, admission and routing, seen by a raw HTTP client.

#include "BridgeFixture.h"

#include "TestHTTPServer.h"
#include "http/HTTPConnection.h"
#include "support/ConnectorError.h"

#include <future>

#include <system_error>

namespace pellum::bridgetest {
namespace {

const std::string kInvalid = "Invalid or interrupted local request.";

// A GET without a session reaches the stdio endpoint, which refuses it with this answer; any
// other answer means that admission or routing stopped the request first.
void expectRoutedToStdio(const Response &response) {
  EXPECT_EQ(response.status, "HTTP/1.1 400 Response");
  EXPECT_EQ(response.headers, emptyHeaders({{"allow", "POST, DELETE"}}));
}

TEST_F(BridgeTest, AdmissionChecksOriginCredentialsAndLease) {
  startBridge({stdioServer("notes")});
  std::string token = base64Encode(std::string("kestrin:") + kPassword);
  ASSERT_TRUE(token.ends_with("=")); // the dropped-padding case needs padding to drop
  struct Case {
    const char *name;
    Headers headers;
    const char *status;
  };
  const std::vector<Case> cases = {
      {"no credentials", {}, "HTTP/1.1 401 Response"},
      {"wrong password",
       {{"authorization", "Basic " + base64Encode("kestrin:wrong")}},
       "HTTP/1.1 401 Response"},
      {"other user",
       {{"authorization", "Basic " + base64Encode(std::string("admin:") + kPassword)}},
       "HTTP/1.1 401 Response"},
      {"lower-case scheme", {{"authorization", "basic " + token}}, "HTTP/1.1 401 Response"},
      {"two spaces", {{"authorization", "Basic  " + token}}, "HTTP/1.1 401 Response"},
      {"padding dropped",
       {{"authorization", "Basic " + token.substr(0, token.find('='))}},
       "HTTP/1.1 401 Response"},
      {"origin with good credentials",
       {{"authorization", goodCredentials()}, {"origin", "https://pellum.test"}},
       "HTTP/1.1 403 Response"},
      {"origin alone", {{"origin", "null"}}, "HTTP/1.1 403 Response"},
  };
  for (const Case &entry : cases) {
    Response response = exchange(rawRequest("GET", "/s/notes", entry.headers));
    EXPECT_EQ(response.status, entry.status) << entry.name;
    EXPECT_EQ(response.headers, emptyHeaders()) << entry.name;
    EXPECT_EQ(response.body, "") << entry.name;
  }
  expectRoutedToStdio(call("GET", "/s/notes"));
}

TEST_F(BridgeTest, NoLeaseBeforeTheFirstAuthorizeNorAfterItRunsOut) {
  LocalServer notes = stdioServer("notes");
  bridge_ = std::make_unique<NativeBridge>(config({notes}), environment(), options());
  port_ = bridge_->start(0);
  Response response = call("GET", "/s/notes");
  EXPECT_EQ(response.status, "HTTP/1.1 503 Response");
  EXPECT_EQ(response.headers, emptyHeaders());

  bridge_->authorize(json::array({{{"slug", "notes"}, {"enabled", true}}}), 90);
  expectRoutedToStdio(call("GET", "/s/notes"));
  clock_.advance(90s - 1ns);
  expectRoutedToStdio(call("GET", "/s/notes"));
  clock_.advance(1ns); // the lease ends at the moment it runs out
  EXPECT_EQ(call("GET", "/s/notes").status, "HTTP/1.1 503 Response");
  bridge_->authorize(json::array({{{"slug", "notes"}, {"enabled", true}}}), 90);
  expectRoutedToStdio(call("GET", "/s/notes"));
  clock_.advance(91s);
  EXPECT_EQ(call("GET", "/s/notes").status, "HTTP/1.1 503 Response");

  // An origin is refused before the lease is looked at; so are wrong credentials.
  EXPECT_EQ(exchange(rawRequest("GET", "/s/notes", {{"origin", ""}})).status,
            "HTTP/1.1 403 Response");
  EXPECT_EQ(exchange(rawRequest("GET", "/s/notes", {})).status, "HTTP/1.1 401 Response");
}

TEST_F(BridgeTest, AuthorizeKeepsOnlyEntriesEnabledByJSONTrueWithAStringSlug) {
  startBridge({stdioServer("alpha"), stdioServer("beta"), stdioServer("gamma"),
               stdioServer("delta"), stdioServer("omega")});
  bridge_->authorize(json::array({
                         {{"slug", "alpha"}, {"enabled", true}},
                         {{"slug", "beta"}, {"enabled", "true"}},
                         {{"slug", "gamma"}},
                         {{"enabled", true}},
                         {{"slug", 5}, {"enabled", true}},
                         {{"slug", "delta"}, {"enabled", 1}},
                         "omega",
                     }),
                     90);
  expectRoutedToStdio(call("GET", "/s/alpha"));
  for (const char *slug : {"beta", "gamma", "delta", "omega"}) {
    EXPECT_EQ(call("GET", std::string("/s/") + slug).status, "HTTP/1.1 404 Response") << slug;
  }

  bridge_->authorize(json::object(), 90); // not a list: nothing is allowed
  EXPECT_EQ(call("GET", "/s/alpha").status, "HTTP/1.1 404 Response");
}

TEST_F(BridgeTest, RoutingTargets) {
  LocalServer web("web", "Web", "http");
  web.url = "http://127.0.0.1:9/mcp";
  startBridge({stdioServer("notes"), stdioServer("hidden"), web});
  bridge_->authorize(
      json::array({{{"slug", "notes"}, {"enabled", true}}, {{"slug", "web"}, {"enabled", true}}}),
      90);
  for (const char *target : {"/s/notes", "/s/notes/"}) {
    expectRoutedToStdio(call("GET", target));
  }
  for (const char *target : {"/s/notes/x", "/s/notes//", "/s/notes?x=1", "/s/notes/?", "/s/Notes",
                             "/s/", "/s", "/notes", "/x/notes", "/s/hidden", "/s/missing", "*"}) {
    Response response = call("GET", target);
    EXPECT_EQ(response.status, "HTTP/1.1 404 Response") << target;
    EXPECT_EQ(response.headers, emptyHeaders()) << target;
  }
  for (const char *method : {"PUT", "PATCH", "OPTIONS", "HEAD"}) {
    Response response = call(method, "/s/notes");
    EXPECT_EQ(response.status, "HTTP/1.1 405 Response") << method;
    EXPECT_EQ(response.headers, emptyHeaders({{"allow", "GET, POST, DELETE"}})) << method;
  }
  // An "http" service goes to the forwarder, which answers on its own.
  Response forwarded = call("GET", "/s/web");
  EXPECT_TRUE(forwarded.status.starts_with("HTTP/1.1 ")) << forwarded.status;
  EXPECT_NE(forwarded.status, "HTTP/1.1 404 Response");
}

TEST_F(BridgeTest, UnreadableRequestsGetTheJSONError) {
  startBridge({stdioServer("notes")});
  for (const char *raw : {"GARBAGE\r\n\r\n", "GET /s/notes HTTP/1.0\r\nhost: x\r\n\r\n",
                          "GET /s/notes HTTP/1.1\r\n\r\n"}) {
    Response response = exchange(raw);
    EXPECT_EQ(response.status, "HTTP/1.1 400 Response") << raw;
    EXPECT_EQ(response.headers, jsonHeaders(errorJSON(kInvalid).size())) << raw;
    EXPECT_EQ(response.body, errorJSON(kInvalid)) << raw;
  }
  // A client that gives up half-way gets the answer too, as far as it still listens.
  test::LoopbackSocket socket = test::LoopbackSocket::connect(port_);
  socket.write("GET /s/notes HTTP/1.1\r\nhost: x\r\n");
  socket.shutdownWrite();
  EXPECT_EQ(parseResponse(socket.readAll()).body, errorJSON(kInvalid));
}

TEST_F(BridgeTest, OverlongHeadOrChunkLineIsAnsweredWhileTheClientWaits) {
  NativeBridge::Options chosen = options();
  chosen.connectionLimit = 60s; // an answer only at this limit would time the read out first
  startBridge({stdioServer("notes")}, chosen);
  std::string start = "POST /s/notes HTTP/1.1\r\nhost: x\r\n";
  for (const std::string &raw :
       {start + "x-pad: " + std::string(HTTPConnection::kMaxHead + 1 - start.size() - 7, 'a'),
        start + "transfer-encoding: chunked\r\n\r\n" +
            std::string(HTTPConnection::kMaxLine + 1, '0')}) {
    Response response = exchange(raw);
    EXPECT_EQ(response.status, "HTTP/1.1 400 Response");
    EXPECT_EQ(response.body, errorJSON(kInvalid));
  }
}

TEST_F(BridgeTest, AServiceThatCannotBePreparedGetsTheJSONError) {
  LocalServer missing("missing", "Missing", "stdio");
  missing.command = "pellum-no-such-program";
  missing.args = std::vector<std::string>{};
  startBridge({missing});
  Response response = post("missing", rpc(1, "initialize"));
  EXPECT_EQ(response.status, "HTTP/1.1 400 Response");
  EXPECT_EQ(response.body, errorJSON(kInvalid)); // the command's name stays here
  EXPECT_EQ(post("missing", rpc(1, "initialize")).status, "HTTP/1.1 400 Response");
}

TEST_F(BridgeTest, SixtyFifthConnectionIsClosedAtOnceUntilOneEnds) {
  NativeBridge::Options chosen = options();
  chosen.connectionLimit = 60s;
  startBridge({stdioServer("notes")}, chosen);
  std::vector<test::LoopbackSocket> silent;
  for (std::size_t i = 0; i < NativeBridge::kMaxConnections; ++i) {
    silent.push_back(test::LoopbackSocket::connect(port_));
  }
  ASSERT_TRUE(eventually([&] { return bridge_->requestCount() == NativeBridge::kMaxConnections; }));

  test::LoopbackSocket refused = test::LoopbackSocket::connect(port_);
  refused.write(rawRequest("GET", "/s/notes", {{"authorization", goodCredentials()}}));
  // A served connection would stay silent until the 60 s limit and make this read time out.
  EXPECT_EQ(refused.readAll(5s), "");

  silent.front().close();
  ASSERT_TRUE(eventually([&] { return bridge_->requestCount() < NativeBridge::kMaxConnections; }));
  expectRoutedToStdio(call("GET", "/s/notes"));
}

TEST_F(BridgeTest, IdleConnectionThreadsEndAndNewOnesStart) {
  NativeBridge::Options chosen = options();
  chosen.workerIdle = 100ms;
  startBridge({stdioServer("notes")}, chosen);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) {
      expectRoutedToStdio(call("GET", "/s/notes"));
    }
    // Only the reactor and the pruning thread are left.
    EXPECT_TRUE(eventually([&] { return test::threadCount() == threadsBefore() + 2; }));
  }
}

TEST_F(BridgeTest, SilentClientIsDisconnectedAtTheConnectionLimit) {
  NativeBridge::Options chosen = options();
  chosen.connectionLimit = 300ms;
  startBridge({stdioServer("notes")}, chosen);
  test::LoopbackSocket socket = test::LoopbackSocket::connect(port_);
  EXPECT_EQ(socket.readAll(), "");
  EXPECT_TRUE(eventually([&] { return bridge_->requestCount() == 0; }));
}

TEST_F(BridgeTest, StartBindsATimeWaitPortAndRefusesALiveOne) {
  // An earlier run served a request and closed first, leaving its port in TIME_WAIT.
  startBridge({stdioServer("notes")});
  std::uint16_t port = port_;
  expectRoutedToStdio(call("GET", "/s/notes"));
  bridge_.reset();

  DeviceConfig record = config({stdioServer("notes")});
  record.port = port;
  bridge_ = std::make_unique<NativeBridge>(record, environment(), options());
  EXPECT_EQ(bridge_->start(), port);

  NativeBridge second(record, environment(), options());
  try {
    second.start();
    ADD_FAILURE() << "a live listener's port was bound twice";
  } catch (const std::system_error &error) {
    EXPECT_EQ(error.code(), std::errc::address_in_use);
    EXPECT_STREQ(error.what(), std::strerror(EADDRINUSE));
  }
}

TEST_F(BridgeTest, InvalidRecordAndClosedBridge) {
  DeviceConfig record = config({});
  record.bridgePassword = "";
  try {
    NativeBridge bridge(record, environment(), options());
    ADD_FAILURE() << "an invalid record made a bridge";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message, "Invalid device credentials or bridge port.");
  }

  NativeBridge closed(config({}), environment(), options());
  closed.close();
  try {
    closed.start(0);
    ADD_FAILURE() << "a closed bridge started";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message, "Bridge listener cancelled.");
    EXPECT_EQ(error.status, 400);
  }
  // A connection handed over after close() is closed without an answer.
  auto [server, client] = test::LoopbackSocket::pair();
  closed.accept(::dup(server.fd()));
  server.close();
  EXPECT_EQ(client.readAll(), "");
  EXPECT_EQ(closed.requestCount(), 0u);
}

} // namespace
} // namespace pellum::bridgetest

namespace pellum::bridgetest {
namespace {

// An "http" service gets the request without the tunnel's credentials; its stream stops once
// its namespace is withdrawn.
TEST_F(BridgeTest, HTTPServicesAreForwardedWhileAllowed) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  test::TestHTTPServer local([released](const test::TestHTTPServer::Request &request,
                                        test::TestHTTPServer::Exchange &exchange) {
    if (request.method == "POST") {
      exchange.respond({200, {{"content-type", "text/plain"}}, "posted " + request.body});
      return;
    }
    exchange.startChunked(200, {{"content-type", "text/event-stream"}});
    exchange.chunk("data: one\n\n");
    released.wait();
    exchange.chunk("data: two\n\n");
    exchange.finishChunked();
  });
  LocalServer web("web", "Web", "http");
  web.url = local.url("/mcp");
  startBridge({web});

  Response posted = call("POST", "/s/web", {{"content-type", "text/plain"}}, "hello");
  EXPECT_EQ(posted.status, "HTTP/1.1 200 Response");
  EXPECT_NE(posted.body.find("posted hello"), std::string::npos) << posted.body;
  ASSERT_EQ(local.requests().size(), 1u);
  EXPECT_EQ(local.requests()[0].target, "/mcp");
  EXPECT_FALSE(local.requests()[0].header("authorization"));

  test::LoopbackSocket stream = test::LoopbackSocket::connect(port_);
  stream.write(rawRequest("GET", "/s/web", {{"authorization", goodCredentials()}}));
  std::string seen;
  while (seen.find("data: one") == std::string::npos) {
    std::string more = stream.read(1);
    ASSERT_FALSE(more.empty()) << seen;
    seen += more;
  }
  bridge_->authorize(json::array(), 90);
  release.set_value();
  seen += stream.readAll();
  EXPECT_EQ(seen.find("data: two"), std::string::npos) << seen;
  EXPECT_FALSE(seen.ends_with("0\r\n\r\n")) << seen; // cut short, not ended
}

} // namespace
} // namespace pellum::bridgetest
