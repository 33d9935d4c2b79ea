#include "LoopbackSocket.h"
#include "http/HTTPConnection.h"
#include "http/ProxyHeaders.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace pellum {
namespace {

using test::LoopbackSocket;
using namespace std::chrono_literals;

// Runs `write` on the server side and returns everything a raw client reads until the server
// closes the connection.
std::string written(const std::function<void(HTTPConnection &)> &write) {
  auto [server, client] = LoopbackSocket::pair();
  std::string bytes;
  std::jthread reader([&client, &bytes] { bytes = client.readAll(); });
  {
    HTTPConnection connection(server.fd(), std::chrono::steady_clock::now() + 10s);
    write(connection);
  }
  server.close();
  reader.join();
  return bytes;
}

TEST(HTTPResponseTest, WritesExactBytes) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  struct Case {
    const char *name;
    std::function<void(HTTPConnection &)> write;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"empty 200", [](HTTPConnection &c) { c.respond(200, ""); },
       "HTTP/1.1 200 Response\r\ncache-control: no-store\r\nconnection: close\r\n"
       "content-length: 0\r\n\r\n"},
      {"body, caller's caching and connection replaced",
       [](HTTPConnection &c) {
         c.respond(404, "{\"error\":\"x\"}",
                   {{"cache-control", "max-age=60"},
                    {"connection", "keep-alive"},
                    {"content-type", "application/json"}});
       },
       "HTTP/1.1 404 Response\r\ncache-control: no-store\r\nconnection: close\r\n"
       "content-length: 13\r\ncontent-type: application/json\r\n\r\n{\"error\":\"x\"}"},
      {"empty head", [](HTTPConnection &c) { c.head(503, {}, false, 0); },
       "HTTP/1.1 503 Response\r\ncache-control: no-store\r\nconnection: close\r\n"
       "content-length: 0\r\n\r\n"},
      {"head with extra header",
       [](HTTPConnection &c) {
         c.head(405, {{"allow", "GET, POST, DELETE"}}, false, 0);
       },
       "HTTP/1.1 405 Response\r\nallow: GET, POST, DELETE\r\ncache-control: no-store\r\n"
       "connection: close\r\ncontent-length: 0\r\n\r\n"},
      {"chunked stream",
       [&alphabet](HTTPConnection &c) {
         c.head(200, {{"content-type", "text/event-stream"}}, true, 0);
         c.chunk(alphabet);
         c.chunk(std::string(255, 'x'));
         c.chunk("");
       },
       "HTTP/1.1 200 Response\r\ncache-control: no-store\r\nconnection: close\r\n"
       "content-type: text/event-stream\r\ntransfer-encoding: chunked\r\n\r\n1a\r\n" +
           alphabet + "\r\nff\r\n" + std::string(255, 'x') + "\r\n0\r\n\r\n"},
      {"chunks put together, one of them in two pieces",
       [&alphabet](HTTPConnection &c) {
         std::string block;
         HTTPConnection::appendChunk(block, "data: 1\n");
         HTTPConnection::appendChunk(block, alphabet.substr(0, 10), alphabet.substr(10));
         HTTPConnection::appendChunk(block, {});
         c.send(block);
       },
       "8\r\ndata: 1\n\r\n1a\r\n" + alphabet + "\r\n0\r\n\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(written(c.write), c.bytes);
  }
}

TEST(HTTPResponseTest, LargeBodyArrivesWhole) {
  std::string body(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>(i * 7);
  }
  std::string bytes = written([&body](HTTPConnection &c) { c.respond(200, body); });
  ASSERT_GT(bytes.size(), body.size());
  EXPECT_EQ(bytes.substr(bytes.size() - body.size()), body);
}

TEST(HTTPResponseTest, FailedSendIsThePlatformErrorAndHeadCountsAsSent) {
  auto [server, client] = LoopbackSocket::pair();
  client.reset();
  HTTPConnection connection(server.fd(), std::chrono::steady_clock::now() + 10s);
  EXPECT_FALSE(connection.sentHeaders());
  EXPECT_THROW(connection.respond(200, std::string(1 << 20, 'a')), std::system_error);
  EXPECT_TRUE(connection.sentHeaders());
}

TEST(HTTPResponseTest, WritesHonourDeadlineAndStop) {
  struct Case {
    const char *name;
    std::chrono::milliseconds deadline;
    bool stop;
    std::errc error;
  };
  const std::vector<Case> cases = {
      {"deadline", 100ms, false, std::errc::timed_out},
      {"stop", 60s, true, std::errc::operation_canceled},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto [server, client] = LoopbackSocket::pair(); // the client never reads
    std::stop_source stop;
    std::jthread stopper;
    if (c.stop) {
      stopper = std::jthread([&stop] {
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
      });
    }
    HTTPConnection connection(server.fd(), std::chrono::steady_clock::now() + c.deadline,
                              stop.get_token());
    try {
      connection.respond(200, std::string(64 << 20, 'a'));
      ADD_FAILURE() << "a blocked write returned";
    } catch (const std::system_error &error) {
      EXPECT_EQ(error.code(), std::make_error_code(c.error));
    }
  }
}

TEST(HTTPResponseTest, CleanProxyHeaders) {
  struct Case {
    const char *name;
    HeaderMap in, out;
  };
  const std::vector<Case> cases = {
      {"fixed names, prefixes and headers named by connection",
       {{"connection", "keep-alive, X-Custom ,, x-other"},
        {"x-custom", "1"},
        {"x-other", "2"},
        {"keep-alive", "timeout=5"},
        {"proxy-authenticate", "a"},
        {"proxy-authorization", "a"},
        {"te", "trailers"},
        {"trailer", "x"},
        {"transfer-encoding", "chunked"},
        {"upgrade", "h2c"},
        {"host", "example"},
        {"cookie", "a=1"},
        {"set-cookie", "a=1"},
        {"authorization", "Basic a"},
        {"origin", "https://a"},
        {"content-length", "3"},
        {"cf-ray", "1"},
        {"CF-Connecting-IP", "1.2.3.4"},
        {"x-forwarded-for", "1.2.3.4"},
        {"X-Forwarded-Proto", "https"},
        {"accept", "application/json, text/event-stream"},
        {"content-type", "application/json"},
        {"mcp-session-id", "abc"}},
       {{"accept", "application/json, text/event-stream"},
        {"content-type", "application/json"},
        {"mcp-session-id", "abc"}}},
      {"values with line breaks, names kept as given",
       {{"x-lf", "a\nb"},
        {"x-cr", "a\rb"},
        {"X-Keep", "v"},
        {"cf", "not a prefix"},
        {"xcf-a", "1"}},
       {{"X-Keep", "v"}, {"cf", "not a prefix"}, {"xcf-a", "1"}}},
      {"names that are not tokens",
       {{"x\rinjected", "1"},
        {"x\ninjected", "1"},
        {"with space", "1"},
        {"x:y", "1"},
        {"x(y)", "1"},
        {"caf\xc3\xa9", "1"},
        {std::string("x\0y", 3), "1"},
        {"", "1"},
        {"X-Tilde~!#$%&'*+-.^_`|", "kept"}},
       {{"X-Tilde~!#$%&'*+-.^_`|", "kept"}}},
      {"without connection only the fixed rules apply",
       {{"x-custom", "1"}, {"Authorization", "Bearer t"}, {"accept", "*/*"}},
       {{"x-custom", "1"}, {"accept", "*/*"}}},
      {"empty", {}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cleanProxyHeaders(c.in), c.out);
  }
}

} // namespace
} // namespace pellum
