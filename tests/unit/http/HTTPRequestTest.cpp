#include "LoopbackSocket.h"
#include "http/HTTPConnection.h"
#include "support/ConnectorError.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

namespace pellum {
namespace {

using test::LoopbackSocket;
using namespace std::chrono_literals;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

struct Outcome {
  std::optional<HTTPRequest> request;
  std::string error; // the sentence of a ConnectorError, or "system:<code>"
  int status = 0;
  std::string leftover;
};

// Has a raw client send `bytes` (and hang up when asked) while the server side reads one
// request. The client writes in its own thread so that large requests cannot deadlock.
Outcome serve(const std::string &bytes, bool hangUp = false,
              std::chrono::milliseconds deadline = 10s) {
  auto [server, client] = LoopbackSocket::pair();
  std::jthread writer([&client, &bytes, hangUp] {
    client.write(bytes);
    if (hangUp) {
      client.shutdownWrite();
    }
  });
  Outcome outcome;
  {
    HTTPConnection connection(server.fd(), std::chrono::steady_clock::now() + deadline);
    try {
      outcome.request = connection.request();
      outcome.leftover = connection.buffer();
    } catch (const ConnectorError &error) {
      outcome.error = error.message;
      outcome.status = error.status;
    } catch (const std::system_error &error) {
      outcome.error = "system:" + std::to_string(error.code().value());
    }
  }
  server.close(); // unblocks a writer whose request was refused early
  return outcome;
}

std::string head(std::string_view extra) {
  return "GET / HTTP/1.1\r\nhost: x\r\n" + std::string(extra);
}

std::string post(std::string_view headers, std::string_view body) {
  return "POST /s/a HTTP/1.1\r\nhost: x\r\n" + std::string(headers) + "\r\n" + std::string(body);
}

std::string chunked(std::string_view body) { return post("transfer-encoding: chunked\r\n", body); }

// A GET whose head (before the blank line) is exactly `size` bytes.
std::string headOfSize(std::size_t size) {
  std::string start = "GET / HTTP/1.1\r\nhost: x\r\nx-pad: ";
  return start + std::string(size - start.size(), 'a') + "\r\n\r\n";
}

// A trailer section of the given line lengths, then the empty line.
std::string trailers(std::vector<std::size_t> lengths) {
  std::string out;
  for (std::size_t length : lengths) {
    out += "x-t: " + std::string(length - 5, 't') + "\r\n";
  }
  return out + "\r\n";
}

TEST(HTTPRequestTest, RefusesMalformedRequestsWithTheirSentence) {
  struct Case {
    const char *name;
    std::string bytes;
    bool hangUp;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"two spaces after method", "GET  / HTTP/1.1\r\nhost: x\r\n\r\n", false,
       "Invalid HTTP request line."},
      {"HTTP/1.0", "GET / HTTP/1.0\r\nhost: x\r\n\r\n", false, "Invalid HTTP request line."},
      {"no version", "GET /\r\nhost: x\r\n\r\n", false, "Invalid HTTP request line."},
      {"trailing space", "GET / HTTP/1.1 \r\nhost: x\r\n\r\n", false, "Invalid HTTP request line."},
      {"bare LF line ends", "GET / HTTP/1.1\nhost: x\n\r\n\r\n", false,
       "Invalid HTTP request line."},
      {"invalid UTF-8", head("x-a: \xff\r\n\r\n"), false, "Invalid HTTP headers."},
      {"overlong UTF-8", head("x-a: \xc0\xaf\r\n\r\n"), false, "Invalid HTTP headers."},
      {"no colon", head("x-a\r\n\r\n"), false, "Invalid HTTP header."},
      {"folded with space", head("x-a: 1\r\n 2\r\n\r\n"), false, "Invalid HTTP header."},
      {"folded with tab", head("x-a: 1\r\n\t2\r\n\r\n"), false, "Invalid HTTP header."},
      {"space before colon", head("x-a : 1\r\n\r\n"), false, "Invalid or duplicate HTTP header."},
      {"empty name", head(": 1\r\n\r\n"), false, "Invalid or duplicate HTTP header."},
      {"Host and host", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", false,
       "Invalid or duplicate HTTP header."},
      {"duplicate length in other case", post("content-length: 1\r\nContent-LENGTH: 1\r\n", "a"),
       false, "Invalid or duplicate HTTP header."},
      {"non-ASCII name (Kelvin sign)",
       head("\xe2\x84\xaa"
            "eep-alive: 1\r\n\r\n"),
       false, "Invalid or duplicate HTTP header."},
      {"NUL in value", head(std::string("x-a: a\0b\r\n\r\n", 12)), false,
       "Invalid or duplicate HTTP header."},
      {"DEL in value", head("x-a: a\x7f\r\n\r\n"), false, "Invalid or duplicate HTTP header."},
      {"bare LF in value", head("x-a: 1\nx-b: 2\r\n\r\n"), false,
       "Invalid or duplicate HTTP header."},
      {"bare CR in value", head("x-a: 1\rx-b: 2\r\n\r\n"), false,
       "Invalid or duplicate HTTP header."},
      {"no host", "GET / HTTP/1.1\r\nx-a: 1\r\n\r\n", false, "Host header required."},
      {"transfer-encoding list", post("transfer-encoding: gzip, chunked\r\n", ""), false,
       "Unsupported or ambiguous HTTP framing."},
      {"chunked twice", post("transfer-encoding: chunked, chunked\r\n", ""), false,
       "Unsupported or ambiguous HTTP framing."},
      {"identity", post("transfer-encoding: identity\r\n", ""), false,
       "Unsupported or ambiguous HTTP framing."},
      {"Kelvin sign in chunked",
       post("transfer-encoding: chun\xe2\x84\xaa"
            "ed\r\n",
            ""),
       false, "Unsupported or ambiguous HTTP framing."},
      {"chunked with length", post("transfer-encoding: chunked\r\ncontent-length: 3\r\n", "abc"),
       false, "Unsupported or ambiguous HTTP framing."},
      {"length with sign", post("content-length: +3\r\n", "abc"), false, "Invalid content length."},
      {"length list", post("content-length: 3, 3\r\n", "abc"), false, "Invalid content length."},
      {"empty length", post("content-length:\r\n", ""), false, "Invalid content length."},
      {"length over 64 bits", post("content-length: 9223372036854775808\r\n", ""), false,
       "Invalid content length."},
      {"hex length", post("content-length: 0x3\r\n", "abc"), false, "Invalid content length."},
      {"other expectation", post("expect: 100-continue, x\r\ncontent-length: 0\r\n", ""), false,
       "Unsupported HTTP expectation."},
      {"body one past 2 MiB", post("content-length: 2097153\r\n", ""), false,
       "HTTP body exceeds 2 MB."},
      {"largest 64-bit length", post("content-length: 9223372036854775807\r\n", ""), false,
       "HTTP body exceeds 2 MB."},
      {"head one past the limit", headOfSize(HTTPConnection::kMaxHead + 1), false,
       "HTTP headers too large."},
      {"endless head", "GET / HTTP/1.1\r\nx-a: " + std::string(40'000, 'a'), false,
       "HTTP headers too large."},
      {"chunk size line one past the limit",
       chunked("1;" + std::string(8191, 'e') + "\r\na\r\n0\r\n\r\n"), false, "HTTP line too long."},
      {"trailer line one past the limit",
       chunked("0\r\nx-t: " + std::string(8189, 't') + "\r\n\r\n"), false, "HTTP line too long."},
      {"chunk size not hex", chunked("g\r\n"), false, "Invalid or oversized chunked request."},
      {"empty chunk size", chunked("\r\n"), false, "Invalid or oversized chunked request."},
      {"space before size", chunked(" 1\r\na\r\n0\r\n\r\n"), false,
       "Invalid or oversized chunked request."},
      {"space after size", chunked("1 \r\na\r\n0\r\n\r\n"), false,
       "Invalid or oversized chunked request."},
      {"signed size", chunked("+1\r\na\r\n0\r\n\r\n"), false,
       "Invalid or oversized chunked request."},
      {"0x prefix", chunked("0x1\r\na\r\n0\r\n\r\n"), false,
       "Invalid or oversized chunked request."},
      {"nine digits", chunked("000000001\r\na\r\n0\r\n\r\n"), false,
       "Invalid or oversized chunked request."},
      {"size over 2 MiB", chunked("ffffffff\r\n"), false, "Invalid or oversized chunked request."},
      {"chunks one past 2 MiB",
       chunked("200000\r\n" + std::string(HTTPConnection::kMaxBody, 'b') + "\r\n1\r\n"), false,
       "Invalid or oversized chunked request."},
      {"chunk without CRLF", chunked("1\r\nab\r\n0\r\n\r\n"), false,
       "Invalid HTTP chunk boundary."},
      {"chunk ended by LF", chunked("1\r\na\n\r\n0\r\n\r\n"), false,
       "Invalid HTTP chunk boundary."},
      {"trailers reaching 32768", chunked("0\r\n" + trailers({8189, 8189, 8189, 8191})), false,
       "HTTP trailers too large."},
      {"nothing sent", "", true, "Connection closed."},
      {"half a head", "GET / HTTP/1.1\r\nhost", true, "Connection closed."},
      {"half the body", post("content-length: 10\r\n", "abcde"), true, "Connection closed."},
      {"chunked body cut off", chunked("5\r\nabc"), true, "Connection closed."},
      {"no last chunk", chunked("1\r\na\r\n"), true, "Connection closed."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = serve(c.bytes, c.hangUp);
    EXPECT_FALSE(outcome.request.has_value());
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.status, 400);
  }
}

TEST(HTTPRequestTest, ReadsWellFormedRequests) {
  struct Case {
    const char *name;
    std::string bytes;
    std::string method, target;
    HeaderMap headers;
    std::string body;
    std::string leftover;
  };
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  const std::vector<Case> cases = {
      {"bytes after a bodyless head stay unread",
       "GET /s/a?x=1 HTTP/1.1\r\nHost: h\r\n\r\nGET /",
       "GET",
       "/s/a?x=1",
       {{"host", "h"}},
       "",
       "GET /"},
      {"names lower-cased, values trimmed, tab inside kept",
       "DELETE /s/b HTTP/1.1\r\nhost:\r\nMcp-Session-Id: \t a\tb  \r\nX-Name: caf\xc3\xa9\r\n\r\n",
       "DELETE",
       "/s/b",
       {{"host", ""}, {"mcp-session-id", "a\tb"}, {"x-name", "caf\xc3\xa9"}},
       "",
       ""},
      {"empty method", " / HTTP/1.1\r\nhost: x\r\n\r\n", "", "/", {{"host", "x"}}, "", ""},
      {"content length with leading zeros",
       post("Content-Length: 00000000000000000000003\r\n", "abcdef"),
       "POST",
       "/s/a",
       {{"content-length", "00000000000000000000003"}, {"host", "x"}},
       "abc",
       "def"},
      {"content length 0",
       post("content-length: 0\r\n", ""),
       "POST",
       "/s/a",
       {{"content-length", "0"}, {"host", "x"}},
       "",
       ""},
      {"chunked in any case, extensions, 8 digits, trailers",
       post("Transfer-Encoding: ChUnKeD\r\n", "5;name=value\r\nhello\r\n0000001A\r\n" + alphabet +
                                                  "\r\n0;x\r\nx-t: 1\r\nx-u: 2\r\n\r\nrest"),
       "POST",
       "/s/a",
       {{"host", "x"}, {"transfer-encoding", "ChUnKeD"}},
       "hello" + alphabet,
       "rest"},
      {"chunked, empty",
       chunked("0\r\n\r\n"),
       "POST",
       "/s/a",
       {{"host", "x"}, {"transfer-encoding", "chunked"}},
       "",
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = serve(c.bytes);
    ASSERT_TRUE(outcome.request.has_value()) << outcome.error;
    EXPECT_EQ(outcome.request->method, c.method);
    EXPECT_EQ(outcome.request->target, c.target);
    EXPECT_EQ(outcome.request->headers, c.headers);
    EXPECT_EQ(outcome.request->body, c.body);
    EXPECT_EQ(outcome.leftover, c.leftover);
  }
}

TEST(HTTPRequestTest, AcceptsEveryLimitExactly) {
  const std::string full(HTTPConnection::kMaxBody, 'z');
  struct Case {
    const char *name;
    std::string bytes;
    std::size_t bodySize;
  };
  const std::vector<Case> cases = {
      {"head of 32768 bytes", headOfSize(HTTPConnection::kMaxHead), 0},
      {"content length of 2 MiB", post("content-length: 2097152\r\n", full), full.size()},
      {"chunks summing to 2 MiB",
       chunked("100000\r\n" + full.substr(0, 0x100000) + "\r\n100000\r\n" +
               full.substr(0, 0x100000) + "\r\n0\r\n\r\n"),
       full.size()},
      {"chunk size line of 8192 bytes",
       chunked("1;" + std::string(8190, 'e') + "\r\na\r\n0\r\n\r\n"), 1},
      {"trailer line of 8192 bytes", chunked("0\r\nx-t: " + std::string(8187, 't') + "\r\n\r\n"),
       0},
      {"trailers of 32766 bytes", chunked("0\r\n" + trailers({8189, 8189, 8189, 8189})), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = serve(c.bytes);
    ASSERT_TRUE(outcome.request.has_value()) << outcome.error;
    EXPECT_EQ(outcome.request->body.size(), c.bodySize);
  }
}

// Serves one request in a thread while the test plays the client step by step.
class LiveExchange {
public:
  explicit LiveExchange(std::chrono::milliseconds deadline = 10s, std::stop_token stop = {}) {
    auto [server, client] = LoopbackSocket::pair();
    server_ = std::move(server);
    client_ = std::move(client);
    thread_ = std::jthread([this, deadline, stop] {
      HTTPConnection connection(server_.fd(), std::chrono::steady_clock::now() + deadline, stop);
      try {
        outcome_.request = connection.request();
      } catch (const ConnectorError &error) {
        outcome_.error = error.message;
        outcome_.status = error.status;
      } catch (const std::system_error &error) {
        outcome_.error = "system:" + std::to_string(error.code().value());
      }
      server_.shutdownWrite();
    });
  }

  LoopbackSocket &client() { return client_; }
  Outcome finish() {
    thread_.join();
    return outcome_;
  }

private:
  LoopbackSocket server_, client_;
  Outcome outcome_;
  std::jthread thread_;
};

TEST(HTTPRequestTest, AnswersExpectContinueBeforeTheBody) {
  LiveExchange exchange;
  exchange.client().write("POST /s/a HTTP/1.1\r\nhost: x\r\nExpect: 100-CONTINUE\r\n"
                          "content-length: 3\r\n\r\n");
  EXPECT_EQ(exchange.client().read(kContinue.size()), kContinue);
  exchange.client().write("abc");
  Outcome outcome = exchange.finish();
  ASSERT_TRUE(outcome.request.has_value()) << outcome.error;
  EXPECT_EQ(outcome.request->body, "abc");
  EXPECT_EQ(exchange.client().readAll(), "");
}

TEST(HTTPRequestTest, InterimAnswerDependsOnlyOnTheExpectation) {
  struct Case {
    const char *name;
    std::string bytes;
    std::string error;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"without a body", head("expect: 100-continue\r\n\r\n"), "", std::string(kContinue)},
      {"then a body over 2 MiB", post("expect: 100-continue\r\ncontent-length: 2097153\r\n", ""),
       "HTTP body exceeds 2 MB.", std::string(kContinue)},
      {"not for a head that fails to parse",
       post("expect: 100-continue\r\ncontent-length: 1\r\ntransfer-encoding: chunked\r\n", ""),
       "Unsupported or ambiguous HTTP framing.", ""},
      {"not for another expectation", post("expect: 200-ok\r\n", ""),
       "Unsupported HTTP expectation.", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    LiveExchange exchange;
    exchange.client().write(c.bytes);
    Outcome outcome = exchange.finish();
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(exchange.client().readAll(), c.written);
  }
}

TEST(HTTPRequestTest, RefusesAnOverlongHeadOrLineWhileTheClientWaits) {
  struct Case {
    const char *name;
    std::string bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"32769 head bytes", "GET / HTTP/1.1\r\nx-pad: " + std::string(32'746, 'a'),
       "HTTP headers too large."},
      {"8193-byte chunk size line", chunked(std::string(8'193, '0')), "HTTP line too long."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    // Waiting for more would end at the deadline with a time-out instead.
    LiveExchange exchange(10s);
    exchange.client().write(c.bytes);
    Outcome outcome = exchange.finish();
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.status, 400);
  }
}

TEST(HTTPRequestTest, DeadlineEndsASilentClient) {
  LiveExchange exchange(100ms);
  exchange.client().write("GET / HTTP/1.1\r\n");
  EXPECT_EQ(exchange.finish().error,
            "system:" + std::to_string(static_cast<int>(std::errc::timed_out)));
}

TEST(HTTPRequestTest, StopWakesABlockedRead) {
  std::stop_source stop;
  LiveExchange exchange(60s, stop.get_token());
  exchange.client().write("POST / HTTP/1.1\r\nhost: x\r\ncontent-length: 5\r\n\r\nab");
  std::this_thread::sleep_for(50ms); // let the reader block in its wait
  stop.request_stop();
  EXPECT_EQ(exchange.finish().error,
            "system:" + std::to_string(static_cast<int>(std::errc::operation_canceled)));
}

TEST(HTTPRequestTest, StopBeforeReadingCancelsAtOnce) {
  std::stop_source stop;
  stop.request_stop();
  LiveExchange exchange(60s, stop.get_token());
  EXPECT_EQ(exchange.finish().error,
            "system:" + std::to_string(static_cast<int>(std::errc::operation_canceled)));
}

TEST(HTTPRequestTest, ResetByPeerIsThePlatformError) {
  LiveExchange exchange;
  exchange.client().write("GET / HTTP/1.1\r\n");
  exchange.client().reset();
  EXPECT_EQ(exchange.finish().error,
            "system:" + std::to_string(static_cast<int>(std::errc::connection_reset)));
}

// Hands out the given pieces one receive at a time; an empty piece is a receive that brought
// nothing without the stream ending. After the last piece the stream ends.
class ScriptedTransport final : public HTTPTransport {
public:
  explicit ScriptedTransport(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

  Received receive(std::span<char> buffer) override {
    if (next_ == pieces_.size()) {
      return {0, true};
    }
    const std::string &piece = pieces_[next_++];
    std::copy(piece.begin(), piece.end(), buffer.begin());
    return {piece.size(), false};
  }
  void send(std::string_view) override {}

private:
  std::vector<std::string> pieces_;
  std::size_t next_ = 0;
};

TEST(HTTPRequestTest, LimitsDoNotDependOnHowBytesArrive) {
  // A line or head of exactly the limit whose line end is split across receives.
  std::string fullHead = headOfSize(HTTPConnection::kMaxHead);
  std::string sizeLine = "1;" + std::string(8190, 'e');
  struct Case {
    const char *name;
    std::vector<std::string> pieces;
    std::string error;
  };
  std::string headBytes = fullHead.substr(0, fullHead.size() - 4);
  // A refusal must come from the bytes at hand: one more receive would end the stream and
  // report "Connection closed." instead.
  const std::vector<Case> cases = {
      {"head, then CR LF CR LF", {headBytes, "\r\n\r\n"}, ""},
      {"head, CR then LF CR LF", {headBytes + "\r", "\n\r\n"}, ""},
      {"head, CR LF then CR LF", {headBytes + "\r\n", "\r\n"}, ""},
      {"head, CR LF CR then LF", {headBytes + "\r\n\r", "\n"}, ""},
      {"head one past, nothing more", {headBytes + "a"}, "HTTP headers too large."},
      {"head one past, CR LF CR", {headBytes + "a\r\n\r"}, "HTTP headers too large."},
      {"head of the limit, CR LF then a byte", {headBytes + "\r\nx"}, "HTTP headers too large."},
      {"chunk size line, then CR LF", {chunked(sizeLine), "\r\na\r\n0\r\n\r\n"}, ""},
      {"chunk size line, CR then LF", {chunked(sizeLine + "\r"), "\na\r\n0\r\n\r\n"}, ""},
      {"chunk size line one past, nothing more", {chunked(sizeLine + "e")}, "HTTP line too long."},
      {"chunk size line one past, CR", {chunked(sizeLine + "e\r")}, "HTTP line too long."},
      {"trailer line one past, nothing more",
       {chunked("0\r\nx-t: " + std::string(8188, 't'))},
       "HTTP line too long."},
      {"one byte at a time",
       {"G", "E", "T", " ", "/", " ", "HTTP/1.1\r", "\n", "host: x\r\n", "\r", "\n"},
       ""},
      {"receive that brings nothing", {"GET / HTTP/1.1\r\n", ""}, "Empty request."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HTTPConnection connection(std::make_unique<ScriptedTransport>(c.pieces));
    std::string error;
    try {
      connection.request();
    } catch (const ConnectorError &e) {
      error = e.message;
    }
    EXPECT_EQ(error, c.error);
  }
}

} // namespace
} // namespace pellum
