// A small, fast local HTTP service for the benchmarks: one thread per connection, HTTP/1.1 with
// keep-alive unless the client asks to close.
//
//   http_mcp_server [--stream-bytes N]
//
// Prints "listening PORT" (a free port on 127.0.0.1) and serves until killed:
//   POST /mcp           a JSON-RPC message, answered at once as one JSON body (initialize gives
//                       "mcp-session-id: bench"; notifications get 202)
//   GET  /stream        N bytes (default 64 MiB) in chunks of 64 KiB, without line feeds
//   GET  /stream-lines  the same bytes as lines of 1 KiB, as event streams look

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

namespace {

using nlohmann::json;

constexpr std::size_t kChunk = 65'536;
constexpr std::size_t kLine = 1'024;
std::size_t gStreamBytes = 64u << 20;

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

struct Request {
  std::string method;
  std::string target;
  std::string body;
  bool close = false;
};

// Reads one request from `fd` into `request`, keeping extra bytes in `buffer`. False at the end.
bool readRequest(int fd, std::string &buffer, Request &request) {
  char chunk[16384];
  std::size_t headEnd;
  while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > 65536) {
      return false;
    }
    ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) {
      return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(count));
  }
  std::string_view head(buffer.data(), headEnd);
  std::size_t lineEnd = head.find("\r\n");
  std::string_view first = head.substr(0, lineEnd);
  std::size_t space = first.find(' ');
  std::size_t space2 = first.find(' ', space + 1);
  if (space == std::string_view::npos || space2 == std::string_view::npos) {
    return false;
  }
  request.method = std::string(first.substr(0, space));
  request.target = std::string(first.substr(space + 1, space2 - space - 1));
  request.close = first.substr(space2 + 1) == "HTTP/1.0";
  std::size_t length = 0;
  while (lineEnd != std::string_view::npos && lineEnd < head.size()) {
    std::size_t next = head.find("\r\n", lineEnd + 2);
    std::string_view line = head.substr(
        lineEnd + 2, next == std::string_view::npos ? std::string_view::npos : next - lineEnd - 2);
    lineEnd = next;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    std::string name = lower(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') {
      value.remove_prefix(1);
    }
    if (name == "content-length") {
      length = std::strtoull(std::string(value).c_str(), nullptr, 10);
    } else if (name == "connection") {
      std::string token = lower(value);
      request.close = token == "close" ? true : (token == "keep-alive" ? false : request.close);
    }
  }
  buffer.erase(0, headEnd + 4);
  while (buffer.size() < length) {
    ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) {
      return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(count));
  }
  request.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return true;
}

std::string response(int status, std::string_view extraHeaders, std::string_view body, bool close) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + (status < 300 ? " OK" : " Error") +
                     "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n";
  text += extraHeaders;
  text += close ? "connection: close\r\n\r\n" : "\r\n";
  text += body;
  return text;
}

std::string answerMCP(const std::string &body, bool close) {
  json message = json::parse(body, nullptr, false);
  if (!message.is_object()) {
    return response(400, "", "", close);
  }
  if (!message.contains("id")) {
    return response(202, "", "", close);
  }
  const std::string method = message.value("method", "");
  json result;
  std::string extra = "content-type: application/json\r\n";
  if (method == "initialize") {
    result = {{"protocolVersion", "2025-06-18"},
              {"capabilities", {{"tools", json::object()}}},
              {"serverInfo", {{"name", "fast-http-mcp-server"}, {"version", "1.0.0"}}}};
    extra += "mcp-session-id: bench\r\n";
  } else if (method == "tools/call") {
    json arguments = json::object();
    if (auto params = message.find("params"); params != message.end() && params->is_object()) {
      arguments = params->value("arguments", json::object());
    }
    result = {{"content", {{{"type", "text"}, {"text", arguments.dump()}}}}};
  } else {
    result = json::object();
  }
  json answer = {{"jsonrpc", "2.0"}, {"id", message["id"]}, {"result", std::move(result)}};
  return response(200, extra, answer.dump(), close);
}

bool stream(int fd, bool lines, bool close) {
  std::string head = "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\n"
                     "transfer-encoding: chunked\r\n";
  head += close ? "connection: close\r\n\r\n" : "\r\n";
  if (!sendAll(fd, head)) {
    return false;
  }
  std::string payload(kChunk, 'x');
  if (lines) {
    for (std::size_t i = kLine - 1; i < payload.size(); i += kLine) {
      payload[i] = '\n';
    }
  }
  char size[32];
  for (std::size_t left = gStreamBytes; left > 0;) {
    std::size_t take = std::min(left, kChunk);
    int n = std::snprintf(size, sizeof size, "%zx\r\n", take);
    std::string block(size, static_cast<std::size_t>(n));
    block.append(payload, 0, take);
    block += "\r\n";
    if (!sendAll(fd, block)) {
      return false;
    }
    left -= take;
  }
  return sendAll(fd, "0\r\n\r\n");
}

void serve(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string buffer;
  Request request;
  while (readRequest(fd, buffer, request)) {
    bool ok;
    if (request.method == "POST" && request.target == "/mcp") {
      ok = sendAll(fd, answerMCP(request.body, request.close));
    } else if (request.method == "GET" &&
               (request.target == "/stream" || request.target == "/stream-lines")) {
      ok = stream(fd, request.target == "/stream-lines", request.close);
    } else if (request.method == "DELETE") {
      ok = sendAll(fd, response(200, "", "", request.close));
    } else {
      ok = sendAll(fd, response(404, "", "", request.close));
    }
    if (!ok || request.close) {
      break;
    }
  }
  ::close(fd);
}

} // namespace

int main(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string_view(argv[i]) == "--stream-bytes") {
      gStreamBytes = std::strtoull(argv[i + 1], nullptr, 10);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
      ::listen(listener, 512) < 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) < 0) {
    std::perror("http_mcp_server");
    return 1;
  }
  std::cout << "listening " << ntohs(address.sin_port) << std::endl;
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) {
        continue;
      }
      std::perror("accept");
      return 1;
    }
    std::thread(serve, fd).detach();
  }
}
