#include "TestHTTPServer.h"

#include "support/Ascii.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace pellum::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReadLimit = std::chrono::seconds(10);
constexpr auto kWriteLimit = std::chrono::seconds(30);
constexpr std::size_t kHeadLimit = 64 * 1024;
constexpr std::size_t kBodyLimit = 64 * 1024 * 1024;

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

const char *reason(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 204:
    return "No Content";
  case 301:
    return "Moved Permanently";
  case 302:
    return "Found";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 500:
    return "Internal Server Error";
  case 502:
    return "Bad Gateway";
  case 503:
    return "Service Unavailable";
  default:
    return "Status";
  }
}

std::string headText(int status, const std::vector<std::pair<std::string, std::string>> &headers) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  for (const auto &[name, value] : headers) {
    text += name + ": " + value + "\r\n";
  }
  return text;
}

std::string_view hostText(const std::string &address) {
  return address == "::1" ? "[::1]" : std::string_view(address);
}

} // namespace

// One accepted socket, optionally wrapped in TLS, with every wait bounded by a deadline and
// ended early by the server's wake-up pipe.
struct TestHTTPServer::Exchange::Connection {
  int socket = -1;
  int wake = -1;
  SSL *ssl = nullptr;
  bool keepAlive = false;

  const char *closing() const { return keepAlive ? "\r\n" : "Connection: close\r\n\r\n"; }

  // Waits for `events` on the socket; false on time-out, stop or error.
  bool wait(short events, Clock::time_point deadline) const {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd fds[2] = {{socket, events, 0}, {wake, POLLIN, 0}};
      int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
      if (ready < 0 && errno != EINTR) {
        return false;
      }
      if (fds[1].revents != 0) {
        return false;
      }
      if (fds[0].revents != 0) {
        return true;
      }
    }
  }

  // Continues a TLS operation that asked to wait.
  bool waitFor(int error, Clock::time_point deadline) const {
    if (error == SSL_ERROR_WANT_READ) {
      return wait(POLLIN, deadline);
    }
    if (error == SSL_ERROR_WANT_WRITE) {
      return wait(POLLOUT, deadline);
    }
    return false;
  }

  bool handshake(Clock::time_point deadline) {
    for (;;) {
      ERR_clear_error();
      int result = SSL_accept(ssl);
      if (result == 1) {
        return true;
      }
      if (!waitFor(SSL_get_error(ssl, result), deadline)) {
        return false;
      }
    }
  }

  // Bytes read (> 0), or 0 at the end of the stream, on error, time-out or stop.
  std::size_t readSome(char *buffer, std::size_t size, Clock::time_point deadline) {
    for (;;) {
      if (ssl != nullptr) {
        ERR_clear_error();
        int result = SSL_read(ssl, buffer, static_cast<int>(size));
        if (result > 0) {
          return static_cast<std::size_t>(result);
        }
        if (!waitFor(SSL_get_error(ssl, result), deadline)) {
          return 0;
        }
      } else {
        ssize_t result = recv(socket, buffer, size, 0);
        if (result >= 0) {
          return static_cast<std::size_t>(result);
        }
        if ((errno != EAGAIN && errno != EINTR) || !wait(POLLIN, deadline)) {
          return 0;
        }
      }
    }
  }

  bool writeAll(std::string_view bytes) {
    auto deadline = Clock::now() + kWriteLimit;
    while (!bytes.empty()) {
      if (ssl != nullptr) {
        ERR_clear_error();
        int result = SSL_write(ssl, bytes.data(),
                               static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30)));
        if (result > 0) {
          bytes.remove_prefix(static_cast<std::size_t>(result));
        } else if (!waitFor(SSL_get_error(ssl, result), deadline)) {
          return false;
        }
      } else {
        ssize_t result = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (result >= 0) {
          bytes.remove_prefix(static_cast<std::size_t>(result));
        } else if ((errno != EAGAIN && errno != EINTR) || !wait(POLLOUT, deadline)) {
          return false;
        }
      }
    }
    return true;
  }
};

std::optional<std::string> TestHTTPServer::Request::header(std::string_view name) const {
  for (const auto &[key, value] : headers) {
    if (key == name) {
      return value;
    }
  }
  return std::nullopt;
}

bool TestHTTPServer::Exchange::write(std::string_view bytes) { return connection_.writeAll(bytes); }

bool TestHTTPServer::Exchange::respond(const Response &response) {
  std::string text = headText(response.status, response.headers);
  text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  text += connection_.closing();
  text += response.body;
  return write(text);
}

bool TestHTTPServer::Exchange::startChunked(
    int status, const std::vector<std::pair<std::string, std::string>> &headers) {
  return write(headText(status, headers) + "Transfer-Encoding: chunked\r\n" +
               connection_.closing());
}

bool TestHTTPServer::Exchange::chunk(std::string_view bytes) {
  if (bytes.empty()) {
    return true; // an empty chunk would end the body
  }
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return write(std::string(size) + std::string(bytes) + "\r\n");
}

bool TestHTTPServer::Exchange::finishChunked() { return write("0\r\n\r\n"); }

TestHTTPServer::TestHTTPServer(Handler handler) : TestHTTPServer(std::move(handler), Options()) {}

TestHTTPServer::TestHTTPServer(Handler handler, Options options)
    : handler_(std::move(handler)), options_(std::move(options)) {
  // A client that hangs up mid-answer must fail the write, not end the test program.
  std::signal(SIGPIPE, SIG_IGN);

  if (options_.tls) {
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    tlsContext_ = context;
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, options_.tls->certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, options_.tls->keyFile.c_str(), SSL_FILETYPE_PEM) !=
            1) {
      SSL_CTX_free(context);
      throw std::runtime_error("test server: cannot load the TLS certificate");
    }
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }

  bool v6 = options_.address == "::1";
  int fds[2];
  listener_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop();
    throw std::runtime_error("test server: cannot create its descriptors");
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage address{};
  socklen_t length = 0;
  if (v6) {
    setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(options_.port);
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &in4->sin_addr) != 1) {
      stop();
      throw std::runtime_error("test server: bad address " + options_.address);
    }
    length = sizeof(sockaddr_in);
  }
  if (bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    std::string reason = std::strerror(errno);
    stop();
    throw std::runtime_error("test server: cannot listen: " + reason);
  }
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                   : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
  thread_ = std::thread([this] { run(); });
}

TestHTTPServer::~TestHTTPServer() { stop(); }

TestHTTPServer::Handler TestHTTPServer::reply(Response response) {
  return [response = std::move(response)](const Request &, Exchange &exchange) {
    exchange.respond(response);
  };
}

std::string TestHTTPServer::url(std::string_view path) const {
  return std::string(options_.tls ? "https://" : "http://") +
         std::string(hostText(options_.address)) + ":" + std::to_string(port_) + std::string(path);
}

std::vector<TestHTTPServer::Request> TestHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TestHTTPServer::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void TestHTTPServer::stop() {
  if (wakeWrite_ >= 0) {
    char byte = 1;
    (void)!::write(wakeWrite_, &byte, 1);
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  for (int *fd : {&listener_, &wakeRead_, &wakeWrite_}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  SSL_CTX_free(static_cast<SSL_CTX *>(tlsContext_));
  tlsContext_ = nullptr;
}

namespace {

// Closes our direction and reads until the client closes too (at most two seconds), so that
// closing never resets a connection whose answer the client has not read yet.
void finish(int socket, int wake) {
  shutdown(socket, SHUT_WR);
  TestHTTPServer::Exchange::Connection connection{socket, wake, nullptr, false};
  auto deadline = Clock::now() + std::chrono::seconds(2);
  char buffer[4096];
  while (connection.readSome(buffer, sizeof buffer, deadline) > 0) {
  }
}

// Reads the request head and body; false when the client sent no complete request.
template <typename Read> bool readRequest(Read read, TestHTTPServer::Request &request) {
  std::string data;
  char buffer[16384];
  std::size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kHeadLimit) {
      return false;
    }
    std::size_t count = read(buffer, sizeof buffer);
    if (count == 0) {
      return false;
    }
    data.append(buffer, count);
  }
  std::string_view head(data.data(), headEnd);
  std::size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  std::size_t firstSpace = requestLine.find(' ');
  std::size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string_view::npos || lastSpace == firstSpace) {
    return false;
  }
  request.method = requestLine.substr(0, firstSpace);
  request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  while (lineEnd != std::string_view::npos) {
    std::size_t next = head.find("\r\n", lineEnd + 2);
    std::string_view line = head.substr(
        lineEnd + 2, next == std::string_view::npos ? std::string_view::npos : next - lineEnd - 2);
    lineEnd = next;
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      request.headers.emplace_back(pellum::lowerASCII(trim(line.substr(0, colon))),
                                   std::string(trim(line.substr(colon + 1))));
    }
  }
  std::string rest = data.substr(headEnd + 4);
  auto more = [&] {
    std::size_t count = read(buffer, sizeof buffer);
    rest.append(buffer, count);
    return count > 0 && rest.size() <= kBodyLimit + kHeadLimit;
  };

  if (pellum::lowerASCII(request.header("transfer-encoding").value_or("")) == "chunked") {
    for (;;) {
      std::size_t sizeEnd;
      while ((sizeEnd = rest.find("\r\n")) == std::string::npos) {
        if (!more()) {
          return false;
        }
      }
      std::size_t size = std::strtoul(rest.c_str(), nullptr, 16);
      if (size > kBodyLimit) {
        return false;
      }
      while (rest.size() < sizeEnd + 2 + size + 2) {
        if (!more()) {
          return false;
        }
      }
      request.body.append(rest, sizeEnd + 2, size);
      rest.erase(0, sizeEnd + 2 + size + 2);
      if (size == 0) {
        return true; // trailers are not read
      }
    }
  }
  std::size_t length =
      std::strtoul(request.header("content-length").value_or("0").c_str(), nullptr, 10);
  if (length > kBodyLimit) {
    return false;
  }
  while (rest.size() < length) {
    if (!more()) {
      return false;
    }
  }
  request.body = rest.substr(0, length);
  return true;
}

} // namespace

void TestHTTPServer::run() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if (fds[0].revents == 0) {
      continue;
    }
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      ++connections_;
    }
    serve(client);
    finish(client, wakeRead_);
    close(client);
  }
}

void TestHTTPServer::serve(int socket) {
  Exchange::Connection connection{socket, wakeRead_, nullptr, options_.keepAlive};
  auto deadline = Clock::now() + kReadLimit;
  if (tlsContext_ != nullptr) {
    connection.ssl = SSL_new(static_cast<SSL_CTX *>(tlsContext_));
    if (connection.ssl == nullptr) {
      return;
    }
    SSL_set_fd(connection.ssl, socket);
  }
  struct SSLGuard {
    SSL *ssl;
    ~SSLGuard() {
      if (ssl != nullptr) {
        SSL_shutdown(ssl); // one attempt; the socket closes right after
        SSL_free(ssl);
      }
      ERR_clear_error();
    }
  } guard{connection.ssl};

  if (connection.ssl != nullptr && !connection.handshake(deadline)) {
    return;
  }
  auto read = [&](char *buffer, std::size_t size) {
    return connection.readSome(buffer, size, deadline);
  };
  do {
    Request request;
    if (!readRequest(read, request)) {
      return;
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    Exchange exchange(connection);
    try {
      handler_(request, exchange);
    } catch (const std::exception &error) {
      std::cerr << "test server handler failed: " << error.what() << "\n";
      return;
    }
    deadline = Clock::now() + kReadLimit;
  } while (options_.keepAlive);
}

} // namespace pellum::test
