#pragma once

#include "bridge/ConnectionReactor.h"
#include "bridge/LocalForwarder.h"
#include "bridge/StdioEndpoint.h"
#include "config/DeviceConfig.h"
#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"
#include "platform/Environment.h"
#include "stdio/StdioSession.h"
#include "support/MonotonicClock.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace pellum {

// The loopback server that the tunnel client forwards to. It reads one HTTP/1.1 request per
// connection, admits it (no "origin", the device's Basic credentials, a live lease), routes it
// by namespace to a local service, and either forwards it to an "http" service or hands it to
// the MCP endpoint of "stdio" services, with one child process per MCP session.
//
// Its parts: the ConnectionReactor serves the connections, the LocalForwarder passes requests
// to "http" services, the StdioEndpoint keeps the stdio sessions. The bridge itself keeps the
// lease and the allow-list, routes, prunes, and closes it all.
//
// Threads: those of the reactor and of the endpoint, and a pruning thread that ends idle, spent
// and no longer authorised sessions. Every public operation is safe to call from any thread.
// One mutex guards the lease and the allow-list and is never held while waiting on a socket, a
// child or a session, nor while calling into a part.
class NativeBridge {
public:
  static constexpr std::size_t kMaxConnections = ConnectionReactor::kMaxConnections;
  static constexpr std::size_t kMaxSessions = StdioEndpoint::kMaxSessions;
  static constexpr std::string_view kDefaultProtocolVersion =
      StdioEndpoint::kDefaultProtocolVersion;

  struct Options {
    // Longest life of one connection, answer included.
    std::chrono::milliseconds connectionLimit{125'000};
    // Time between pruning passes; the first runs one period after start().
    std::chrono::milliseconds pruningPeriod{5'000};
    // A stdio session untouched for longer than this is closed by the next pass.
    std::chrono::milliseconds idleLimit{300'000};
    // Longest wait for the child's answer to a forwarded request.
    std::chrono::milliseconds forwardTimeout{120'000};
    // How long a connection thread with nothing to serve waits for the next connection.
    std::chrono::milliseconds workerIdle{30'000};
    // Initialize time-out, kill grace and login-shell PATH of every stdio session (whose clock
    // is replaced by `clock`).
    StdioSession::Options session;
    LocalForwarder::Options forwarder;
    // What the lease, the idle limit and the pruning period are measured on. Never null;
    // outlives the bridge. Connection limits and waits on local services are real time.
    const MonotonicClock *clock = &steadyClock();
  };

  // Checks `config` (DeviceConfig::validate, whose ConnectorError propagates). `environment`
  // resolves the secrets of local services. The bridge starts with an empty allow-list and a
  // lease in the past, so every request is refused with 503 until authorize().
  NativeBridge(DeviceConfig config, Environment environment, Options options);
  NativeBridge(DeviceConfig config, Environment environment)
      : NativeBridge(std::move(config), std::move(environment), Options{}) {}
  // close(), then waits for every thread.
  ~NativeBridge();
  NativeBridge(const NativeBridge &) = delete;
  NativeBridge &operator=(const NativeBridge &) = delete;

  // Replaces the allow-list with the "slug" strings of the entries of `servers` (a JSON array of
  // objects) whose "enabled" is JSON true, grants a lease of `lease` seconds from now, and runs
  // one pruning pass before returning. Sessions that lost their namespace are closed
  // before it returns; their children end on their own, each within its kill grace.
  void authorize(const nlohmann::json &servers, double lease);

  // Listens on 127.0.0.1 at `port`, or at the device record's port when absent, and starts the
  // reactor and the pruning thread. Returns the bound port. A port held by a live listener
  // throws the operating system's std::system_error; a closed bridge throws ConnectorError
  // ("Bridge listener cancelled.", 400). Call once.
  std::uint16_t start(std::optional<std::uint16_t> port = std::nullopt);

  // Takes ownership of the connected socket `fd` and serves it on a thread of its own, or closes
  // it at once without a response when the bridge is closed or already serves kMaxConnections.
  void accept(int fd);

  // One pruning pass: closes and removes every session that is closed, idle, or whose namespace
  // or lease lapsed; once the lease has run out, also stops every request in flight.
  void prune();

  // Stops for good: refuses new connections, stops pruning and the listener, abandons
  // forwarding, stops every request and ends every session at once, then waits for the
  // connection threads and for the children, whose kill graces overlap. Returns within the
  // kill grace and a second, whatever the children do. Idempotent.
  void close();

  // For tests and status: connections being served, and open stdio sessions.
  std::size_t requestCount() const;
  std::size_t sessionCount() const;

private:
  using Lock = std::unique_lock<std::mutex>;

  // nullopt when `request` may pass, else the status refusing it: 403 for any "origin" header,
  // 401 unless "authorization" is exactly the device's Basic credentials, 503 without a lease.
  std::optional<int> authorizationStatus(const HTTPRequest &request) const;
  // Admits, routes and answers one request on `client`, on a connection thread. `stop` ends
  // waits on local services.
  void handle(const HTTPRequest &request, HTTPConnection &client, std::stop_token stop);
  void pruningLoop(std::stop_token stop);
  // Whether an answer for `slug` may still go out: not stopped, lease alive, namespace allowed.
  bool stillAuthorized(const std::string &slug) const;

  const DeviceConfig config_;
  const Environment environment_;
  const Options options_;
  // The SHA-256 digest of the one "authorization" value that passes, made once.
  mutable std::once_flag expectedOnce_;
  mutable std::string expectedAuthorization_;
  LocalForwarder forwarder_;
  StdioEndpoint endpoint_;

  // Serialises start() and close().
  std::mutex lifecycleMutex_;
  mutable std::mutex mutex_;
  std::set<std::string> allowed_;
  MonotonicClock::time_point leaseUntil_ = MonotonicClock::time_point::min();
  bool started_ = false;
  bool stopped_ = false;

  // Declared after all that its connection threads use.
  ConnectionReactor reactor_;
  std::jthread pruning_;
};

} // namespace pellum
