#include "service/URLSession.h"
#include "service/TransportError.h"

#include "TrustedServerTest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stop_token>
#include <thread>

namespace pellum {
namespace {

using test::ScopedVariable;
using test::TestCA;
using test::TestHTTPServer;

class URLSessionTest : public test::TrustedServerTest {
protected:
  // GET `url` through `session`, the whole answer.
  static URLSession::Response get(const URLSession &session, const std::string &url) {
    URLSession::Request request;
    request.url = url;
    return session.fetch(request, 1 << 20, "too long");
  }
};

TEST_F(URLSessionTest, TrustsTheAuthorityNamedBySSLCertFile) {
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "hello"}), tls());
  EXPECT_EQ(get(isolatedSession(), server.url("/")).body, "hello");

  ScopedVariable systemTrustOnly("SSL_CERT_FILE", std::nullopt);
  try {
    get(isolatedSession(), server.url("/"));
    FAIL() << "a certificate from an unknown authority was accepted";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_NE(std::string(error.what()).find("certificate"), std::string::npos) << error.what();
  }
}

TEST_F(URLSessionTest, StreamsTheHeadOnceThenTheBodyInPieces) {
  TestHTTPServer server([](const auto &, TestHTTPServer::Exchange &exchange) {
    exchange.startChunked(207, {{"X-Twice", "a"}, {"X-Twice", "b"}, {"Content-Type", "text/x"}});
    exchange.chunk("one\n");
    exchange.chunk("two\n");
    exchange.finishChunked();
  });
  std::vector<URLSession::Head> heads;
  std::string body;
  URLSession::Request request;
  request.url = server.url("/stream");
  isolatedSession().perform(
      request, [&](const URLSession::Head &head) { heads.push_back(head); },
      [&](std::string_view bytes) {
        ASSERT_EQ(heads.size(), 1u) << "body before head";
        body.append(bytes);
      });
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].status, 207);
  EXPECT_EQ(heads[0].headers.at("x-twice"), "a, b");
  EXPECT_EQ(heads[0].headers.at("content-type"), "text/x");
  EXPECT_EQ(body, "one\ntwo\n");
}

TEST_F(URLSessionTest, HeadArrivesBeforeTheBodyStarts) {
  std::promise<void> headSeen;
  std::future<void> seen = headSeen.get_future();
  TestHTTPServer server([&seen](const auto &, TestHTTPServer::Exchange &exchange) {
    exchange.startChunked(200, {});
    if (seen.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
      exchange.chunk("late");
      exchange.finishChunked();
    }
  });
  URLSession::Request request;
  request.url = server.url("/");
  std::string body;
  isolatedSession().perform(
      request, [&](const URLSession::Head &) { headSeen.set_value(); },
      [&](std::string_view bytes) { body.append(bytes); });
  EXPECT_EQ(body, "late");
}

TEST_F(URLSessionTest, SendsMethodHeadersAndBodyAsGiven) {
  TestHTTPServer server(TestHTTPServer::reply({204, {}, ""}));
  URLSession::Request request;
  request.method = "PATCH";
  request.url = server.url("/p?q=1");
  request.headers = {{"X-Empty", ""}, {"X-One", "1"}};
  request.body = std::string(3 * 1024 * 1024, 'b'); // large enough for curl to want Expect
  auto response = isolatedSession().fetch(request, 0, "too long");
  EXPECT_EQ(response.head.status, 204);

  auto received = server.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "PATCH");
  EXPECT_EQ(received[0].target, "/p?q=1");
  EXPECT_EQ(received[0].header("x-empty"), "");
  EXPECT_EQ(received[0].header("x-one"), "1");
  EXPECT_EQ(received[0].header("expect"), std::nullopt);
  EXPECT_EQ(received[0].header("content-type"), std::nullopt);
  EXPECT_EQ(received[0].body, *request.body);
}

TEST_F(URLSessionTest, RefusesHeadersThatWouldSplitTheRequest) {
  URLSession::Request request;
  request.url = "http://127.0.0.1:1/";
  for (auto header : std::vector<std::pair<std::string, std::string>>{
           {"X-A", "1\r\nX-B: 2"}, {"X-A\n", "1"}, {"X:A", "1"}, {"", "1"}}) {
    request.headers = {header};
    EXPECT_THROW(isolatedSession().fetch(request, 10, "too long"), std::invalid_argument);
  }
}

TEST_F(URLSessionTest, RedirectsAreTheAnswer) {
  TestHTTPServer server(TestHTTPServer::reply({302, {{"Location", "/elsewhere"}}, "moved"}), tls());
  auto response = get(isolatedSession(), server.url("/here"));
  EXPECT_EQ(response.head.status, 302);
  EXPECT_EQ(response.head.headers.at("location"), "/elsewhere");
  EXPECT_EQ(response.body, "moved");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(URLSessionTest, FollowedRedirectsNeverLeaveHTTPS) {
  TestHTTPServer plain(TestHTTPServer::reply({200, {}, "plain"}));
  TestHTTPServer secure(TestHTTPServer::reply({302, {{"Location", plain.url("/x")}}, ""}), tls());
  TestHTTPServer secureToo(TestHTTPServer::reply({200, {}, "secure"}), tls());
  TestHTTPServer start(TestHTTPServer::reply({302, {{"Location", secureToo.url("/y")}}, ""}));
  URLSession following(URLSession::Options{});

  EXPECT_THROW(get(following, secure.url("/")), TransportError);
  EXPECT_TRUE(plain.requests().empty());
  // From plain HTTP a redirect may go either way.
  EXPECT_EQ(get(following, start.url("/")).body, "secure");
}

TEST_F(URLSessionTest, IgnoresProxyVariablesUnlessAskedToUseThem) {
  TestHTTPServer proxy(TestHTTPServer::reply({200, {}, "via proxy"}));
  TestHTTPServer plain(TestHTTPServer::reply({200, {}, "direct"}));
  TestHTTPServer secure(TestHTTPServer::reply({200, {}, "direct"}), tls());
  std::vector<std::unique_ptr<ScopedVariable>> variables;
  for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
    variables.push_back(std::make_unique<ScopedVariable>(name, proxy.url()));
  }
  for (const char *name : {"no_proxy", "NO_PROXY"}) {
    variables.push_back(std::make_unique<ScopedVariable>(name, std::nullopt));
  }

  EXPECT_EQ(get(isolatedSession(), plain.url("/")).body, "direct");
  EXPECT_EQ(get(isolatedSession(), secure.url("/")).body, "direct");
  EXPECT_TRUE(proxy.requests().empty());

  // The same variables do reach a session that honours them, so the above proves something.
  URLSession::Options options;
  options.useProxy = true;
  EXPECT_EQ(get(URLSession(options), plain.url("/")).body, "via proxy");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].target, plain.url("/"));
}

TEST_F(URLSessionTest, PinnedHostNameDecidesWhichCertificatesPass) {
  TestCA::Certificate otherName = ca_->issue({"pellum.test"});
  struct Case {
    const TestCA::Certificate *certificate;
    std::optional<std::string> tlsHostname;
    bool accepted;
  } cases[] = {
      {&otherName, "pellum.test", true},           {&otherName, "localhost", false},
      {&otherName, std::nullopt, false},           {&loopbackCertificate_, "localhost", true},
      {&loopbackCertificate_, std::nullopt, true}, {&loopbackCertificate_, "pellum.test", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tlsHostname.value_or("(none)") + " vs " + c.certificate->certFile.string());
    TestHTTPServer server(TestHTTPServer::reply({200, {}, "ok"}), tls(*c.certificate));
    if (c.accepted) {
      EXPECT_EQ(get(isolatedSession(c.tlsHostname), server.url("/x")).body, "ok");
      ASSERT_EQ(server.requests().size(), 1u);
      // The server still sees the address that was asked for.
      EXPECT_EQ(server.requests()[0].header("host"), "127.0.0.1:" + std::to_string(server.port()));
    } else {
      try {
        get(isolatedSession(c.tlsHostname), server.url("/x"));
        ADD_FAILURE() << "certificate accepted";
      } catch (const TransportError &error) {
        EXPECT_EQ(error.code, CURLE_PEER_FAILED_VERIFICATION) << error.what();
      }
      EXPECT_TRUE(server.requests().empty());
    }
  }
}

TEST_F(URLSessionTest, PinnedSessionKeepsTheCallersHostHeader) {
  TestCA::Certificate localhostOnly = ca_->issue({"localhost"});
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "ok"}), tls(localhostOnly));
  URLSession::Request request;
  request.url = server.url("/mcp");
  request.headers = {{"Host", "localhost:" + std::to_string(server.port())}};
  EXPECT_EQ(isolatedSession("localhost").fetch(request, 10, "too long").body, "ok");
  EXPECT_EQ(server.requests().at(0).header("host"), request.headers[0].second);
  EXPECT_THROW(isolatedSession("bad name:1"), std::invalid_argument);
}

TEST_F(URLSessionTest, PinnedSessionReachesTheIPv6Loopback) {
  TestHTTPServer::Options options = tls(ca_->issue({"localhost"}));
  options.address = "::1";
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "six"}), options);
  EXPECT_EQ(server.url("/"), "https://[::1]:" + std::to_string(server.port()) + "/");
  EXPECT_EQ(get(isolatedSession("localhost"), server.url("/")).body, "six");
  EXPECT_EQ(server.requests().at(0).header("host"), "[::1]:" + std::to_string(server.port()));
}

TEST_F(URLSessionTest, RefusedConnectionCarriesCurlsText) {
  std::uint16_t port = closedPort();
  try {
    get(isolatedSession(), "https://127.0.0.1:" + std::to_string(port) + "/");
    FAIL() << "no error";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_COULDNT_CONNECT);
    std::string expected = "Failed to connect to 127.0.0.1 port " + std::to_string(port);
    EXPECT_EQ(std::string(error.what()).substr(0, expected.size()), expected) << error.what();
  }
}

TEST_F(URLSessionTest, SilentServerEndsInATimeOut) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TestHTTPServer server([released](const auto &, auto &) { released.wait(); });
  try {
    get(isolatedSession(std::nullopt, 1, 30), server.url("/"));
    ADD_FAILURE() << "no error";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_OPERATION_TIMEDOUT) << error.what();
  }
  release.set_value();
}

TEST_F(URLSessionTest, SlowTrickleEndsAtTheOverallLimit) {
  std::atomic<bool> done = false;
  TestHTTPServer server([&done](const auto &, TestHTTPServer::Exchange &exchange) {
    bool open = exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
    while (open && !done) {
      open = exchange.write("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  try {
    get(isolatedSession(std::nullopt, 30, 1), server.url("/"));
    ADD_FAILURE() << "no error";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_OPERATION_TIMEDOUT) << error.what();
  }
  done = true;
}

TEST_F(URLSessionTest, StopRequestAbandonsAWaitingTransfer) {
  std::promise<void> received;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TestHTTPServer server([&received, released](const auto &, auto &) {
    received.set_value();
    released.wait();
  });
  std::stop_source stop;
  std::thread canceller([&] {
    received.get_future().wait();
    stop.request_stop();
  });
  URLSession::Request request;
  request.url = server.url("/");
  try {
    isolatedSession().fetch(request, 10, "too long", stop.get_token());
    ADD_FAILURE() << "no error";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_ABORTED_BY_CALLBACK) << error.what();
  }
  canceller.join();
  release.set_value();
}

URLSession keepingSession(std::size_t idleHandles) {
  URLSession::Options options = isolatedSession().options();
  options.idleHandles = idleHandles;
  return URLSession(options);
}

TestHTTPServer::Options keepAlive() {
  TestHTTPServer::Options options;
  options.keepAlive = true;
  return options;
}

TEST_F(URLSessionTest, KeptHandlesCarryRequestsInARowOverOneConnection) {
  struct Case {
    std::size_t idleHandles;
    std::size_t connections;
  } cases[] = {{0, 3}, {2, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.idleHandles);
    TestHTTPServer server(
        [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
          exchange.respond({200, {}, "answer to " + request.target});
        },
        keepAlive());
    URLSession session = keepingSession(c.idleHandles);
    for (const char *path : {"/a", "/b", "/c"}) {
      EXPECT_EQ(get(session, server.url(path)).body, std::string("answer to ") + path);
    }
    EXPECT_EQ(server.connections(), c.connections);
  }
}

// A connection whose answer was not read to its end must not carry the next request: the rest
// of the old answer would be taken for the new one.
TEST_F(URLSessionTest, AConnectionLeftMidAnswerIsNeverReused) {
  struct Case {
    const char *name;
    std::function<void(const URLSession &, const URLSession::Request &)> abandon;
  } cases[] = {
      {"stop requested",
       [](const URLSession &session, const URLSession::Request &request) {
         std::stop_source stop;
         session.perform(
             request, [](const URLSession::Head &) {},
             [&stop](std::string_view) { stop.request_stop(); }, stop.get_token());
       }},
      {"handler threw",
       [](const URLSession &session, const URLSession::Request &request) {
         session.fetch(request, 4, "too long");
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestHTTPServer server(
        [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
          if (request.target == "/long") {
            exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
          } else {
            exchange.respond({200, {}, "short"});
          }
        },
        keepAlive());
    URLSession session = keepingSession(2);
    EXPECT_EQ(get(session, server.url("/")).body, "short");
    URLSession::Request request;
    request.url = server.url("/long");
    EXPECT_ANY_THROW(c.abandon(session, request));
    EXPECT_EQ(get(session, server.url("/")).body, "short");
    EXPECT_EQ(server.connections(), 2u);
  }
}

} // namespace
} // namespace pellum
