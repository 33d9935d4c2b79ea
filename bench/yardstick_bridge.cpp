// The yardstick of the stdio path: the simplest bridge that still closes each connection. A
// thread per connection, one child shared by every client, ids swapped with nlohmann::json, no
// limits, no checks, no sessions. The bridge must beat this.
//
//   yardstick_bridge COMMAND [ARGUMENTS...]   prints "listening PORT"; stops on SIGTERM

#include "BenchIO.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

extern char **environ;

namespace {

using nlohmann::json;

int toChild = -1;
FILE *fromChild = nullptr;
std::mutex mutex;
std::map<long, std::promise<json>> waiting;
long nextId = 0;

std::string readLine(FILE *file) {
  std::string line;
  for (int c; (c = std::fgetc(file)) != EOF && c != '\n';) {
    line += static_cast<char>(c);
  }
  return line;
}

json ask(json message) {
  std::future<json> answer;
  {
    std::lock_guard lock(mutex);
    message["id"] = ++nextId;
    answer = waiting[nextId].get_future();
    bench::writeAll(toChild, message.dump() + "\n");
  }
  return answer.get();
}

void respond(int fd, int status, const std::string &body, const std::string &extra = "") {
  std::string head = "HTTP/1.1 " + std::to_string(status) +
                     " OK\r\nconnection: close\r\ncontent-type: application/json\r\n" + extra +
                     "content-length: " + std::to_string(body.size()) + "\r\n\r\n";
  bench::writeAll(fd, head + body);
}

void serve(int fd) {
  std::string data;
  char buffer[65536];
  std::size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) {
      ::close(fd);
      return;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  std::string head = bench::lower(data.substr(0, headEnd));
  std::size_t length = 0;
  if (auto at = head.find("content-length:"); at != std::string::npos) {
    length = std::stoul(head.substr(at + 15));
  }
  while (data.size() < headEnd + 4 + length) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) {
      break;
    }
    data.append(buffer, static_cast<std::size_t>(count));
  }
  json message = json::parse(data.substr(headEnd + 4), nullptr, false);
  if (head.starts_with("delete") || !message.is_object() || !message.contains("id")) {
    respond(fd, head.starts_with("delete") ? 200 : 202, "");
  } else if (message["method"] == "initialize") {
    json result = {{"protocolVersion", "2025-06-18"},
                   {"capabilities", {{"tools", json::object()}}}};
    respond(fd, 200, json{{"jsonrpc", "2.0"}, {"id", message["id"]}, {"result", result}}.dump(),
            "mcp-session-id: shared\r\n");
  } else {
    json answer = ask(message);
    answer["id"] = message["id"];
    respond(fd, 200, answer.dump());
  }
  ::close(fd);
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: yardstick_bridge COMMAND [ARGUMENTS...]\n";
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    return 1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t child;
  if (posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
    return 1;
  }
  ::close(in[0]);
  ::close(out[1]);
  toChild = in[1];
  fromChild = fdopen(out[0], "r");
  bench::writeAll(toChild, R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":)"
                           R"({"protocolVersion":"2025-06-18","capabilities":{},)"
                           R"("clientInfo":{"name":"yardstick","version":"1"}}})"
                           "\n");
  readLine(fromChild);
  bench::writeAll(toChild, R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                           "\n");
  std::thread([] {
    for (std::string line; !(line = readLine(fromChild)).empty();) {
      json answer = json::parse(line);
      std::lock_guard lock(mutex);
      auto found = waiting.find(answer["id"].get<long>());
      found->second.set_value(std::move(answer));
      waiting.erase(found);
    }
  }).detach();

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
      listen(listener, 128) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
    return 1;
  }
  std::cout << "listening " << ntohs(address.sin_port) << std::endl;
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) {
      std::thread(serve, fd).detach();
    }
  }
}
