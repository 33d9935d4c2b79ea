#pragma once

#include "TestCA.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace pellum::test {

// A small HTTP/1.1 server for tests, plain or TLS, on a loopback address. One thread accepts
// connections one at a time; each carries one request, which is recorded and handed to the
// handler, and the connection is closed when the handler returns. With `keepAlive`, a
// connection carries requests one after another until the client closes it (or sends nothing
// for 10 seconds), and answers say nothing of closing. Stopping (or destroying) the
// server ends any wait inside it, joins the thread and closes every descriptor.
class TestHTTPServer {
public:
  struct Request {
    std::string method;
    std::string target;                                       // as sent: path and query
    std::vector<std::pair<std::string, std::string>> headers; // names lower-cased, in order
    std::string body;                                         // de-chunked when chunked

    // The first value of header `name` (lower case), if any.
    std::optional<std::string> header(std::string_view name) const;
  };

  struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
  };

  // The answering side of one connection, for the handler's thread only. Every write returns
  // false once the client has gone, the server is stopping, or a write waited 30 seconds.
  class Exchange {
  public:
    struct Connection; // the server's own
    // Bytes exactly as given, no framing.
    bool write(std::string_view bytes);
    // A whole answer with "Content-Length" and "Connection: close".
    bool respond(const Response &response);
    // A chunked answer: the head, any number of chunks (each sent at once), then the end.
    bool startChunked(int status, const std::vector<std::pair<std::string, std::string>> &headers);
    bool chunk(std::string_view bytes);
    bool finishChunked();

  private:
    friend class TestHTTPServer;
    explicit Exchange(Connection &connection) : connection_(connection) {}
    Connection &connection_;
  };

  using Handler = std::function<void(const Request &, Exchange &)>;

  struct Options {
    // TLS with this certificate when present, plain HTTP otherwise.
    std::optional<TestCA::Certificate> tls;
    // "127.0.0.1" or "::1".
    std::string address = "127.0.0.1";
    // 0 picks a free port.
    std::uint16_t port = 0;
    bool keepAlive = false;
  };

  // Listens at once; throws std::runtime_error when it cannot.
  explicit TestHTTPServer(Handler handler);
  TestHTTPServer(Handler handler, Options options);
  ~TestHTTPServer();
  TestHTTPServer(const TestHTTPServer &) = delete;
  TestHTTPServer &operator=(const TestHTTPServer &) = delete;

  // A handler that gives every request the same answer.
  static Handler reply(Response response);

  std::uint16_t port() const { return port_; }
  // "https://127.0.0.1:<port>" (or http, or "[::1]") followed by `path`.
  std::string url(std::string_view path = "") const;
  // The requests received so far, in order.
  std::vector<Request> requests() const;
  // The connections accepted so far.
  std::size_t connections() const;
  // Idempotent; also called by the destructor.
  void stop();

private:
  void run();
  void serve(int socket);

  Handler handler_;
  Options options_;
  void *tlsContext_ = nullptr; // SSL_CTX
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::size_t connections_ = 0;
};

} // namespace pellum::test
