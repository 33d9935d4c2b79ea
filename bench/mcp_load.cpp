// Load generator for the benchmarks: N client threads, each opening one MCP session and then
// sending "tools/call" requests one after another, timed with steady_clock.
//
//   mcp_load http   --url http://127.0.0.1:PORT/PATH [options]
//   mcp_load pipes  [options] -- COMMAND [ARGUMENTS...]
//   mcp_load stream --url http://127.0.0.1:PORT/PATH [--password P] [--repeat R]
//   mcp_load free-port   (prints a port on 127.0.0.1 that was free a moment ago)
//
// Options: --clients N (1), --calls M per client (1000), --seconds S (time cap of the timed
// part, 20), --warmup W untimed calls per client (20), --password P (adds Basic credentials
// for the user "kestrin"), --keep-alive (reuse the connection while the server allows it),
// --no-delete (leave the sessions open; the default ends each with DELETE).
//
// "http" speaks MCP over HTTP/1.1 (answers as JSON or as an event stream); "pipes" starts one
// child per client and speaks newline-delimited JSON-RPC over its pipes; "stream" GETs the URL
// R times and measures the throughput of the body. Prints one line of key=value pairs:
//   calls=... errors=... seconds=... rps=... p50_us=... p99_us=...
//   bytes=... mib_per_s=... (stream: the median of the runs)
// Exits 1 when a session cannot be opened or nothing succeeded.

#include "BenchIO.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  std::string mode;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string path = "/";
  std::optional<std::string> authorization;
  bool keepAlive = false;
  bool remove = true;
  int clients = 1;
  int calls = 1000;
  int warmup = 20;
  int repeat = 5;
  double seconds = 20;
  std::vector<std::string> command;
};

[[noreturn]] void fail(const std::string &message) {
  std::cerr << "mcp_load: " << message << '\n';
  std::exit(1);
}

std::string base64(std::string_view input) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < input.size(); i += 3) {
    unsigned v = (unsigned char)input[i] << 16 | (unsigned char)input[i + 1] << 8 |
                 (unsigned char)input[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == input.size()) {
    unsigned v = (unsigned char)input[i] << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == input.size()) {
    unsigned v = (unsigned char)input[i] << 16 | (unsigned char)input[i + 1] << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

using bench::lower;

std::string callMessage(long id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hello"}}})";
}

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"mcp_load","version":"1.0.0"}}})";
const std::string kInitialized = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

// --- HTTP ---

struct Response {
  int status = 0;
  std::string sessionId;
  std::string body;
  bool close = false;
};

class HTTPClient {
public:
  explicit HTTPClient(const Settings &settings) : settings_(settings) {}
  ~HTTPClient() { disconnect(); }

  // One exchange; nullopt when the connection failed.
  std::optional<Response> exchange(std::string_view method, std::string_view body,
                                   const std::string &sessionId) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      bool fresh = fd_ < 0;
      if (fresh && !connect()) {
        return std::nullopt;
      }
      std::string request = std::string(method) + " " + settings_.path +
                            " HTTP/1.1\r\nhost: " + settings_.host + ":" +
                            std::to_string(settings_.port) + "\r\n";
      if (!body.empty()) {
        request +=
            "content-type: application/json\r\ncontent-length: " + std::to_string(body.size()) +
            "\r\n";
      }
      request += "accept: application/json, text/event-stream\r\n";
      if (settings_.authorization) {
        request += "authorization: " + *settings_.authorization + "\r\n";
      }
      if (!sessionId.empty()) {
        request += "mcp-session-id: " + sessionId + "\r\nmcp-protocol-version: 2025-06-18\r\n";
      }
      if (!settings_.keepAlive) {
        request += "connection: close\r\n";
      }
      request += "\r\n";
      request += body;
      std::optional<Response> response;
      if (bench::writeAll(fd_, request)) {
        response = read(method == "HEAD");
      }
      if (!response) {
        disconnect();
        if (fresh) {
          return std::nullopt;
        }
        continue; // a kept connection that the server had closed meanwhile
      }
      if (response->close || !settings_.keepAlive) {
        disconnect();
      }
      return response;
    }
    return std::nullopt;
  }

  // Streams the body of a GET, counting bytes; -1 on failure.
  long long download() {
    if (!connect()) {
      return -1;
    }
    std::string request = "GET " + settings_.path + " HTTP/1.1\r\nhost: " + settings_.host +
                          "\r\nconnection: close\r\n";
    if (settings_.authorization) {
      request += "authorization: " + *settings_.authorization + "\r\n";
    }
    request += "\r\n";
    long long total = -1;
    if (bench::writeAll(fd_, request)) {
      std::optional<Response> response = read(false, &total);
      if (!response || response->status != 200) {
        total = -1;
      }
    }
    disconnect();
    return total;
  }

private:
  bool connect() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval timeout{30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(settings_.port);
    ::inet_pton(AF_INET, settings_.host.c_str(), &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
      disconnect();
      return false;
    }
    buffer_.clear();
    start_ = 0;
    return true;
  }

  void disconnect() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

  // False at the end of the stream or on an error.
  bool fill() {
    char chunk[65536];
    for (;;) {
      ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        return false;
      }
      buffer_.erase(0, start_);
      start_ = 0;
      buffer_.append(chunk, static_cast<std::size_t>(count));
      return true;
    }
  }

  bool line(std::string &out) {
    std::size_t end;
    while ((end = unread().find("\r\n")) == std::string::npos) {
      if (!fill()) {
        return false;
      }
    }
    out = std::string(unread().substr(0, end));
    start_ += end + 2;
    return true;
  }

  // With `counted`, the body is counted and dropped rather than kept.
  std::optional<Response> read(bool headOnly, long long *counted = nullptr) {
    Response response;
    std::string text;
    do { // interim 1xx answers are skipped
      if (!line(text) || text.size() < 12 || !text.starts_with("HTTP/1.")) {
        return std::nullopt;
      }
      response.status = std::atoi(text.c_str() + 9);
      response.close = text.starts_with("HTTP/1.0");
      long long length = -1;
      bool chunked = false;
      for (;;) {
        if (!line(text)) {
          return std::nullopt;
        }
        if (text.empty()) {
          break;
        }
        std::size_t colon = text.find(':');
        if (colon == std::string::npos) {
          continue;
        }
        std::string name = lower(std::string_view(text).substr(0, colon));
        std::string value = text.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (name == "content-length") {
          length = std::atoll(value.c_str());
        } else if (name == "transfer-encoding") {
          chunked = lower(value).find("chunked") != std::string::npos;
        } else if (name == "connection") {
          response.close = lower(value) == "close" ? true : response.close;
        } else if (name == "mcp-session-id") {
          response.sessionId = value;
        }
      }
      if (response.status < 200) {
        continue;
      }
      if (headOnly || response.status == 204 || response.status == 304) {
        return response;
      }
      long long total = 0;
      auto take = [&](std::size_t count) {
        while (unread().size() < count) {
          if (!counted && !fill()) {
            return false;
          }
          if (counted) {
            // Drop what is whole already, so a large body never accumulates.
            std::size_t drop = std::min(unread().size(), count);
            total += static_cast<long long>(drop);
            count -= drop;
            start_ += drop;
            if (count == 0) {
              return true;
            }
            if (!fill()) {
              return false;
            }
            continue;
          }
        }
        if (counted) {
          total += static_cast<long long>(count);
        } else {
          response.body.append(unread().substr(0, count));
        }
        start_ += count;
        return true;
      };
      if (chunked) {
        for (;;) {
          if (!line(text)) {
            return std::nullopt;
          }
          std::size_t size = std::strtoull(text.c_str(), nullptr, 16);
          if (size == 0) {
            while (line(text) && !text.empty()) {
            }
            break;
          }
          if (!take(size) || !line(text)) {
            return std::nullopt;
          }
        }
      } else if (length >= 0) {
        if (!take(static_cast<std::size_t>(length))) {
          return std::nullopt;
        }
      } else {
        response.close = true;
        while (fill()) {
        }
        if (counted) {
          total += static_cast<long long>(unread().size());
        } else {
          response.body += unread();
        }
        buffer_.clear();
        start_ = 0;
      }
      if (counted) {
        *counted = total;
      }
      return response;
    } while (true);
  }

  // Received bytes not yet parsed. Parsing moves `start_` on and each receive drops the parsed
  // prefix, so an answer of many small chunks costs no more to read than one of a few large ones.
  std::string_view unread() const { return std::string_view(buffer_).substr(start_); }

  const Settings &settings_;
  int fd_ = -1;
  std::string buffer_;
  std::size_t start_ = 0;
};

// --- Pipes ---

class PipeClient {
public:
  explicit PipeClient(const std::vector<std::string> &command) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) < 0 || ::pipe2(output, O_CLOEXEC) < 0) {
      fail("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char *> argv;
    for (const std::string &argument : command) {
      argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      fail("cannot start " + command[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    in_ = input[1];
    out_ = output[0];
  }

  ~PipeClient() {
    ::close(in_);
    ::close(out_);
    int status;
    ::waitpid(pid_, &status, 0);
  }

  bool send(std::string_view line) {
    std::string bytes(line);
    bytes += '\n';
    return bench::writeAll(in_, bytes);
  }

  bool receive(std::string &out) {
    std::size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
      char chunk[65536];
      ssize_t count = ::read(out_, chunk, sizeof chunk);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        return false;
      }
      buffer_.append(chunk, static_cast<std::size_t>(count));
    }
    out = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return true;
  }

private:
  pid_t pid_ = 0;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// --- Load ---

struct Tally {
  std::mutex mutex;
  std::vector<double> latencies; // microseconds
  long errors = 0;
  std::atomic<bool> setupFailed{false};
};

bool isResult(std::string_view body) { return body.find("\"result\"") != std::string_view::npos; }

template <typename Barrier>
void runClient(const Settings &settings, Tally &tally, Barrier &ready,
               const Clock::time_point &deadline, int index) {
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(settings.calls));
  long errors = 0;
  long id = static_cast<long>(index) * 10'000'000;

  if (settings.mode == "pipes") {
    PipeClient client(settings.command);
    std::string line;
    bool ok = client.send(kInitialize) && client.receive(line) && isResult(line) &&
              client.send(kInitialized);
    for (int i = 0; ok && i < settings.warmup; ++i) {
      ok = client.send(callMessage(++id)) && client.receive(line) && isResult(line);
    }
    if (!ok) {
      tally.setupFailed = true;
    }
    ready.arrive_and_wait();
    for (int i = 0; ok && i < settings.calls && Clock::now() < deadline; ++i) {
      auto start = Clock::now();
      bool good = client.send(callMessage(++id)) && client.receive(line) && isResult(line);
      auto end = Clock::now();
      if (!good) {
        ++errors;
        break;
      }
      latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    ready.arrive_and_wait();
  } else {
    HTTPClient client(settings);
    std::string session;
    auto opened = client.exchange("POST", kInitialize, "");
    bool ok = opened && opened->status == 200 && isResult(opened->body);
    if (ok) {
      session = opened->sessionId;
      auto notified = client.exchange("POST", kInitialized, session);
      ok = notified && notified->status >= 200 && notified->status < 300;
    }
    for (int i = 0; ok && i < settings.warmup; ++i) {
      auto answer = client.exchange("POST", callMessage(++id), session);
      ok = answer && answer->status == 200 && isResult(answer->body);
    }
    if (!ok) {
      tally.setupFailed = true;
    }
    ready.arrive_and_wait();
    for (int i = 0; ok && i < settings.calls && Clock::now() < deadline; ++i) {
      auto start = Clock::now();
      auto answer = client.exchange("POST", callMessage(++id), session);
      auto end = Clock::now();
      if (!answer || answer->status != 200 || !isResult(answer->body)) {
        ++errors;
        if (errors > 10) {
          break;
        }
        continue;
      }
      latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    ready.arrive_and_wait(); // the clock stops before sessions end
    if (ok && settings.remove && !session.empty()) {
      client.exchange("DELETE", "", session);
    }
  }
  std::lock_guard lock(tally.mutex);
  tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
  tally.errors += errors;
}

double percentile(const std::vector<double> &sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  std::size_t index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

int runLoad(const Settings &settings) {
  Tally tally;
  Clock::time_point deadline = Clock::time_point::max();
  Clock::time_point started;
  Clock::time_point stopped;
  // The completion step runs once per phase: after setup it starts the clock, after the timed
  // calls it stops it.
  int phase = 0;
  auto step = [&]() noexcept {
    if (phase++ == 0) {
      started = Clock::now();
      deadline = started + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(settings.seconds));
    } else {
      stopped = Clock::now();
    }
  };
  std::barrier ready(settings.clients, step);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < settings.clients; ++i) {
      threads.emplace_back([&, i] { runClient(settings, tally, ready, deadline, i); });
    }
  }
  if (tally.setupFailed) {
    fail("a client could not open its session");
  }
  std::vector<double> &all = tally.latencies;
  std::sort(all.begin(), all.end());
  double seconds = std::chrono::duration<double>(stopped - started).count();
  std::printf("calls=%zu errors=%ld seconds=%.3f rps=%.1f p50_us=%.1f p99_us=%.1f\n", all.size(),
              tally.errors, seconds, seconds > 0 ? static_cast<double>(all.size()) / seconds : 0,
              percentile(all, 0.50), percentile(all, 0.99));
  return all.empty() ? 1 : 0;
}

int runStream(const Settings &settings) {
  std::vector<double> rates;
  long long bytes = 0;
  for (int i = 0; i < settings.repeat; ++i) {
    HTTPClient client(settings);
    auto start = Clock::now();
    bytes = client.download();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (bytes <= 0) {
      fail("the stream failed");
    }
    rates.push_back(static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds);
  }
  std::sort(rates.begin(), rates.end());
  std::printf("bytes=%lld mib_per_s=%.1f\n", bytes, rates[rates.size() / 2]);
  return 0;
}

int printFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) < 0) {
    fail("no free port");
  }
  ::close(fd);
  std::printf("%u\n", ntohs(address.sin_port));
  return 0;
}

void parseURL(const std::string &url, Settings &settings) {
  constexpr std::string_view kScheme = "http://";
  if (!url.starts_with(kScheme)) {
    fail("only http:// URLs: " + url);
  }
  std::string rest = url.substr(kScheme.size());
  std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  settings.path = slash == std::string::npos ? "/" : rest.substr(slash);
  std::size_t colon = authority.rfind(':');
  if (colon == std::string::npos) {
    fail("the URL needs a port: " + url);
  }
  settings.host = authority.substr(0, colon);
  settings.port = static_cast<std::uint16_t>(std::atoi(authority.c_str() + colon + 1));
}

} // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    fail("usage: mcp_load http|pipes|stream [options] [-- COMMAND ...]");
  }
  Settings settings;
  settings.mode = argv[1];
  if (settings.mode == "free-port") {
    return printFreePort();
  }
  for (int i = 2; i < argc; ++i) {
    std::string_view option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        fail(std::string(option) + " needs a value");
      }
      return argv[++i];
    };
    if (option == "--") {
      settings.command.assign(argv + i + 1, argv + argc);
      break;
    } else if (option == "--url") {
      parseURL(value(), settings);
    } else if (option == "--password") {
      settings.authorization = "Basic " + base64("kestrin:" + value());
    } else if (option == "--clients") {
      settings.clients = std::max(1, std::atoi(value().c_str()));
    } else if (option == "--calls") {
      settings.calls = std::atoi(value().c_str());
    } else if (option == "--warmup") {
      settings.warmup = std::atoi(value().c_str());
    } else if (option == "--seconds") {
      settings.seconds = std::atof(value().c_str());
    } else if (option == "--repeat") {
      settings.repeat = std::max(1, std::atoi(value().c_str()));
    } else if (option == "--keep-alive") {
      settings.keepAlive = true;
    } else if (option == "--no-delete") {
      settings.remove = false;
    } else {
      fail("unknown option " + std::string(option));
    }
  }
  if (settings.mode == "pipes") {
    if (settings.command.empty()) {
      fail("pipes needs a command after --");
    }
    return runLoad(settings);
  }
  if (settings.port == 0) {
    fail(settings.mode + " needs --url");
  }
  if (settings.mode == "http") {
    return runLoad(settings);
  }
  if (settings.mode == "stream") {
    return runStream(settings);
  }
  fail("unknown mode " + settings.mode);
}
