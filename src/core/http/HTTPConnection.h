#pragma once

#include "http/HTTPRequest.h"
#include "http/HTTPTransport.h"
#include "support/HeaderMap.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

namespace pellum {

// One accepted loopback connection: reads exactly one HTTP/1.1 request with hard limits, then
// writes exactly one response. There is no keep-alive; bytes after the request stay unread.
//
// Reading failures are thrown as ConnectorError with status 400 and one of the sentences named
// below, or as the transport's own error (std::system_error for sockets, including errc::
// timed_out at the deadline and errc::operation_canceled after a stop). Writing failures are the
// transport's errors. After any failure the connection is spent: the owner answers (while
// sentHeaders() is false) or closes.
//
// Thread safety: one thread drives a connection at a time. sentHeaders() may be read from any
// thread, and the stop token may be triggered from any thread.
class HTTPConnection {
public:
  static constexpr std::size_t kMaxReceive = 65'536;
  static constexpr std::size_t kMaxHead = 32'768;
  static constexpr std::size_t kMaxLine = 8'192;
  static constexpr std::size_t kMaxBody = 2'097'152;
  static constexpr std::size_t kMaxTrailers = 32'768;

  // Over the accepted socket `fd`, which the caller keeps owning and closes after this object is
  // gone. No read or write blocks past `deadline`; a stop on `stop` shuts the socket down.
  explicit HTTPConnection(
      int fd,
      std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max(),
      std::stop_token stop = {});
  // Over any byte stream (tests, fuzzing).
  explicit HTTPConnection(std::unique_ptr<HTTPTransport> transport);
  ~HTTPConnection();
  HTTPConnection(const HTTPConnection &) = delete;
  HTTPConnection &operator=(const HTTPConnection &) = delete;

  // --- Reading ---

  // Reads, checks and returns the request. Sends "HTTP/1.1 100 Continue" when the client asks
  // for it, before the body framing is judged. Throws the sentences of read(), line() and
  // HTTPHead::parse(), and "HTTP headers too large.", "Unsupported HTTP expectation.", "HTTP
  // body exceeds 2 MB.", "Invalid or oversized chunked request.", "Invalid HTTP chunk
  // boundary." or "HTTP trailers too large.". Call once.
  HTTPRequest request();

  // One receive of at most kMaxReceive bytes into the buffer. Throws "Connection closed." when
  // the peer ended the stream, "Empty request." when nothing arrived otherwise, and the
  // transport's errors.
  void read();

  // The next line without its CRLF (only CRLF ends a line). Throws "HTTP line too long." for a
  // line longer than `limit` bytes, and read()'s errors.
  std::string line(std::size_t limit);

  // Exactly `count` bytes. Throws read()'s errors.
  std::string take(std::size_t count);

  // Bytes received and not yet consumed.
  std::string_view buffer() const;

  // --- Writing ---

  // Writes the status line (always with the reason "Response") and the headers: the caller's,
  // with "connection: close", "cache-control: no-store" and the framing header ("transfer-
  // encoding: chunked", or "content-length: <length>") set over them. Marks sentHeaders()
  // before writing.
  void head(int status, const HeaderMap &headers, bool chunked, std::uint64_t length);

  // A complete response: head() with the body's length, then the body (one write for a small
  // body).
  void respond(int status, std::string_view body, const HeaderMap &headers = {});

  // One chunk of a chunked body; an empty `data` writes the last chunk.
  void chunk(std::string_view data);

  // The chunk `data` (none when empty) and the last chunk, in one write.
  void lastChunk(std::string_view data);

  // Writes all of `bytes`.
  void send(std::string_view bytes);

  // Appends to `block` one chunk whose data is `first` followed by `second` (none when both are
  // empty: then it is the last chunk), framed as chunk() frames it. Several chunks put
  // together this way can go out in one send().
  static void appendChunk(std::string &block, std::string_view first, std::string_view second = {});

  // True from the moment a response head starts being written.
  bool sentHeaders() const { return sentHeaders_.load(); }

private:
  // The text of head(), marking sentHeaders().
  std::string headText(int status, const HeaderMap &headers, bool chunked, std::uint64_t length);
  std::string_view pending() const;
  void consume(std::size_t count);
  std::string readChunkedBody();

  std::unique_ptr<HTTPTransport> transport_;
  std::string buffer_;
  std::size_t start_ = 0; // consumed prefix of buffer_, dropped on the next read
  std::unique_ptr<char[]> scratch_;
  std::atomic<bool> sentHeaders_{false};
};

} // namespace pellum
