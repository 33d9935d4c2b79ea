// Pruning, lease expiry, withdrawn namespaces and shutdown.

#include "BridgeFixture.h"

#include <future>

namespace pellum::bridgetest {
namespace {

TEST_F(BridgeTest, IdleSessionsArePrunedAndPingIsNoActivity) {
  NativeBridge::Options chosen = options();
  chosen.pruningPeriod = 5s;
  startBridge({stdioServer("notes")}, chosen);
  bridge_->authorize(json::array({{{"slug", "notes"}, {"enabled", true}}}), 3600);
  std::string idle = initialize("notes");
  std::string busy = initialize("notes");
  clock_.advance(200s);
  EXPECT_EQ(post("notes", rpc(1, "tools/list"), busy).status, "HTTP/1.1 200 Response");
  EXPECT_EQ(post("notes", rpc(1, "ping"), idle).status, "HTTP/1.1 200 Response");
  clock_.advance(100s); // untouched for exactly the limit, which is not more than it
  bridge_->prune();
  EXPECT_EQ(bridge_->sessionCount(), 2u);
  clock_.advance(5s); // a pruning period: the pruning thread's pass is due
  EXPECT_TRUE(eventually([&] { return bridge_->sessionCount() == 1; }));
  EXPECT_EQ(post("notes", rpc(1, "ping"), idle).status, "HTTP/1.1 404 Response");
  EXPECT_EQ(post("notes", rpc(1, "ping"), busy).status, "HTTP/1.1 200 Response");
}

TEST_F(BridgeTest, WithdrawnNamespaceLosesItsSessionsBeforeAuthorizeReturns) {
  startBridge({stdioServer("notes"), stdioServer("kept")});
  std::string first = initialize("notes");
  std::string second = initialize("notes");
  bridge_->authorize(json::array({{{"slug", "kept"}, {"enabled", true}}}), 90);
  EXPECT_EQ(bridge_->sessionCount(), 0u);
  EXPECT_TRUE(eventually([] { return !test::hasChildProcesses(); })); // ended and reaped

  std::string kept = initialize("kept");
  bridge_->authorize(
      json::array({{{"slug", "kept"}, {"enabled", true}}, {{"slug", "notes"}, {"enabled", true}}}),
      90);
  EXPECT_EQ(bridge_->sessionCount(), 1u);
  // A session removed earlier stays gone when its namespace returns.
  EXPECT_EQ(post("notes", rpc(1, "ping"), first).status, "HTTP/1.1 404 Response");
  EXPECT_EQ(post("kept", rpc(1, "ping"), kept).status, "HTTP/1.1 200 Response");
}

TEST_F(BridgeTest, ExpiredLeaseEndsSessionsAndCutsConnections) {
  NativeBridge::Options chosen = options();
  chosen.pruningPeriod = 5s;
  startBridge({stdioServer("notes"), stdioServer("hang", "hang-tools-call")}, chosen);
  std::string session = initialize("notes");
  std::string hanging = initialize("hang");
  auto waiting = std::async(std::launch::async, [&] {
    return post("hang", rpc(1, "tools/call", {{"name", "echo"}}), hanging);
  });
  test::LoopbackSocket silent = test::LoopbackSocket::connect(port_);
  ASSERT_TRUE(eventually([&] { return logOf("hang").find("tools/call") != std::string::npos; }));
  ASSERT_TRUE(eventually([&] { return bridge_->requestCount() == 2; }));
  clock_.advance(90s); // the lease runs out; the pruning thread's pass is long due
  EXPECT_EQ(silent.readAll(), "");
  // The waiting call was stopped and its session closed: whatever got out is no success.
  EXPECT_NE(waiting.get().status, "HTTP/1.1 200 Response");
  EXPECT_TRUE(eventually([&] { return bridge_->sessionCount() == 0; }));
  EXPECT_EQ(call("GET", "/s/notes").status, "HTTP/1.1 503 Response");
  EXPECT_EQ(post("notes", rpc(1, "ping"), session).status, "HTTP/1.1 503 Response");
}

TEST_F(BridgeTest, ConnectionLimitAlsoEndsAWaitOnTheChild) {
  NativeBridge::Options chosen = options();
  chosen.connectionLimit = 1500ms;
  chosen.forwardTimeout = 1h;
  startBridge({stdioServer("hang", "hang-tools-call")}, chosen);
  std::string session = initialize("hang");
  // Only the connection's own limit can end this wait before the client's read gives up.
  Response response = post("hang", rpc(1, "tools/call", {{"name", "echo"}}), session);
  EXPECT_EQ(response.status, "");
  // It closed itself when its caller gave up, so a pass removes it.
  EXPECT_TRUE(eventually([&] {
    bridge_->prune();
    return bridge_->sessionCount() == 0;
  }));
}

TEST_F(BridgeTest, CloseLeavesNoChildNoConnectionAndRefusesNewOnes) {
  NativeBridge::Options chosen = options();
  chosen.session.killGrace = 1s; // the stubborn children are killed together, not in turn
  startBridge({stdioServer("notes"), stdioServer("hang", "hang-tools-call"),
               stdioServer("stubborn", "ignore-sigterm")},
              chosen);
  initialize("notes");
  initialize("stubborn");
  initialize("stubborn");
  std::string hanging = initialize("hang");
  auto waiting = std::async(std::launch::async, [&] {
    return post("hang", rpc(1, "tools/call", {{"name", "echo"}}), hanging);
  });
  test::LoopbackSocket silent = test::LoopbackSocket::connect(port_);
  ASSERT_TRUE(eventually([&] { return logOf("hang").find("tools/call") != std::string::npos; }));
  ASSERT_TRUE(eventually([&] { return bridge_->requestCount() == 2; }));

  bridge_->close();
  EXPECT_EQ(bridge_->requestCount(), 0u);
  EXPECT_EQ(bridge_->sessionCount(), 0u);
  EXPECT_FALSE(test::hasChildProcesses());
  EXPECT_EQ(silent.readAll(), "");
  EXPECT_NE(waiting.get().status, "HTTP/1.1 200 Response");
  try {
    test::LoopbackSocket late = test::LoopbackSocket::connect(port_);
    EXPECT_EQ(late.readAll(), "");
  } catch (const std::system_error &error) {
    EXPECT_EQ(error.code(), std::errc::connection_refused);
  }
  bridge_->close(); // again: nothing left to do
}

} // namespace
} // namespace pellum::bridgetest
