#pragma once

#include "bridge/LocalForwarder.h"
#include "config/DeviceConfig.h"
#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "stdio/StdioSession.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace pellum {

class TCPListener;

// The loopback server that the tunnel client forwards to. It reads one HTTP/1.1 request per
// connection, admits it (no "origin", the device's Basic credentials, a live lease), routes it
// by namespace to a local service, and either forwards it to an "http" service or itself acts
// as the MCP endpoint of a "stdio" service, with one child process per MCP session.
//
// Threads: one reactor thread accepts connections, notices clients that hang up while they
// wait and enforces each connection's time limit; every connection is served on a thread of
// its own (at most kMaxConnections at once), which then waits a while to serve the next one
// rather than end at once; a pruning thread ends idle, spent and no longer authorised
// sessions; an ending thread waits for the children of sessions let go of. Every public operation
// is safe to call from any thread. One mutex guards the bridge's state and is never held while
// waiting on a socket, a child or a session.
class NativeBridge {
public:
  static constexpr std::size_t kMaxConnections = 64;
  static constexpr std::size_t kMaxSessions = 32;
  static constexpr std::string_view kDefaultProtocolVersion = "2025-11-25";

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
    // Initialize time-out, kill grace and login-shell PATH of every stdio session.
    StdioSession::Options session;
    LocalForwarder::Options forwarder;
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

  // Stops the request being served on connection `id`: its socket is shut down and a wait on a
  // stdio session ends (closing that session). Unknown ids are ignored.
  void cancelRequest(const std::string &id);

  // nullopt when `request` may pass, else the status refusing it: 403 for any "origin" header,
  // 401 unless "authorization" is exactly the device's Basic credentials, 503 without a lease.
  std::optional<int> authorizationStatus(const HTTPRequest &request) const;

  // Admits, routes and answers one request on `client`. `stop` ends waits on local services.
  // Throws only the failures that the connection's owner answers with 400 (or, once a head went
  // out, by cutting the connection).
  void handle(const HTTPRequest &request, HTTPConnection &client, std::stop_token stop = {});

  // Forwards to the "http" service `server`.
  void proxy(const HTTPRequest &request, const LocalServer &server, HTTPConnection &client,
             std::stop_token stop = {});

  // Serves one MCP message of a client of the "stdio" service `server`.
  void stdio(const HTTPRequest &request, const LocalServer &server, HTTPConnection &client,
             std::stop_token stop = {});

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
  struct Connection;
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;

  // accept() without waking the reactor; true when the connection is being served.
  bool admit(int fd);
  void work(std::uint64_t worker, std::shared_ptr<Connection> connection);
  void serve(const std::shared_ptr<Connection> &connection);
  void watch(const std::string &id);
  void reactorLoop(std::stop_token stop);
  void pruningLoop(std::stop_token stop);
  void reapFinished();
  void wake();
  // Whether an answer for `slug` may still go out: not stopped, lease alive, namespace allowed.
  bool stillAuthorized(const std::string &slug) const;
  bool stillAuthorizedLocked(const std::string &slug) const;

  // `message` is the parsed `body`, whose text gives the id and params passed on.
  void openSession(const nlohmann::json &message, std::string_view body, const LocalServer &server,
                   HTTPConnection &client, std::stop_token stop);
  void sessionMessage(const nlohmann::json &message, std::string_view body,
                      const std::string &sessionId, const std::shared_ptr<StdioSession> &session,
                      const LocalServer &server, HTTPConnection &client, std::stop_token stop);
  // A session whose last owner hands it to the ending thread, closed.
  std::shared_ptr<StdioSession> newSession(const LocalServer &server);
  void retire(StdioSession *session) noexcept;
  void endingLoop();
  // Closes `session` and removes it from the table if it is still there under `sessionId`.
  void endSession(const std::string &sessionId, const std::shared_ptr<StdioSession> &session);

  const DeviceConfig config_;
  const Environment environment_;
  const Options options_;
  LocalForwarder forwarder_;
  Pipe wake_;

  // Serialises start() and close().
  std::mutex lifecycleMutex_;
  mutable std::mutex mutex_;
  std::set<std::string> allowed_;
  Clock::time_point leaseUntil_ = Clock::time_point::min();
  std::unique_ptr<TCPListener> listener_;
  std::map<std::string, std::shared_ptr<StdioSession>> sessions_;
  std::map<std::string, std::shared_ptr<Connection>> requests_;
  // Connection threads by number, kept until joined; `finished_` names those that ended.
  std::map<std::uint64_t, std::jthread> workers_;
  std::vector<std::uint64_t> finished_;
  std::uint64_t nextWorker_ = 0;
  // Accepted connections handed to waiting threads that have not taken them yet.
  std::deque<std::shared_ptr<Connection>> pending_;
  // Threads waiting for a connection, less the connections in `pending_`.
  std::size_t idleWorkers_ = 0;
  std::condition_variable workReady_;
  int initializing_ = 0;
  bool stopped_ = false;
  std::condition_variable_any pruneWake_;

  // Sessions let go of, waiting for their children to end (each within its kill grace), so that
  // no connection ever waits for a child. Counted against the session limit until gone.
  std::mutex endingMutex_;
  std::condition_variable endingReady_;
  std::deque<StdioSession *> endingQueue_;
  bool endingOpen_ = true;
  std::atomic<std::size_t> ending_{0};

  std::jthread reactor_;
  std::jthread pruning_;
  std::jthread endingThread_;
};

} // namespace pellum
