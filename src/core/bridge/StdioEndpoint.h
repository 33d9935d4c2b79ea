#pragma once

#include "config/LocalServer.h"
#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"
#include "platform/Environment.h"
#include "stdio/StdioSession.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

namespace pellum {

// The MCP endpoint that the bridge presents for "stdio" services: every client message is one
// POST answered with one JSON body, sessions are named by "mcp-session-id", and each session
// is a StdioSession with a child of its own. Checks the JSON-RPC messages, chooses the protocol
// version, answers "ping" and refuses unknown methods itself, passes the others to the child
// and keeps the table of sessions with its limit.
//
// Every operation is safe to call from any thread. One mutex guards the table and is never held
// while waiting on a child; the bridge's check is asked under it, so that a session never opens
// after a pruning pass has judged the table without it.
class StdioEndpoint {
public:
  static constexpr std::size_t kMaxSessions = 32;
  static constexpr std::string_view kDefaultProtocolVersion = "2025-11-25";

  struct Options {
    // A session untouched for longer than this (on the session's clock) is pruned.
    std::chrono::milliseconds idleLimit{300'000};
    // Longest wait for the child's answer to a forwarded request.
    std::chrono::milliseconds forwardTimeout{120'000};
    // Of every session; its clock is the one idle sessions are judged by.
    StdioSession::Options session;
  };

  // Whether an answer for the namespace `slug` may still go out. Must not call back into the
  // endpoint.
  using Authorized = std::function<bool(const std::string &slug)>;

  // `environment` resolves the services' secrets and must outlive the endpoint.
  StdioEndpoint(const Environment &environment, Options options, Authorized authorized);
  // closeAll(), then finish().
  ~StdioEndpoint();
  StdioEndpoint(const StdioEndpoint &) = delete;
  StdioEndpoint &operator=(const StdioEndpoint &) = delete;

  // Answers one admitted request for the "stdio" service `server` on `client`. `stop` ends
  // waits on the child. Throws what the bridge answers with 400 (a service that cannot be
  // prepared) and failed writes to `client`.
  void serve(const HTTPRequest &request, const LocalServer &server, HTTPConnection &client,
             std::stop_token stop);

  // Closes and removes every session that is closed, idle, or no longer authorised.
  void prune();

  // Closes and removes every session at once; their children end on the ending thread.
  void closeAll();

  // Waits for the children of every session let go of, each within its kill grace, and ends the
  // ending thread. Sessions let go of later end on the releasing thread. Final.
  void finish();

  // Open sessions.
  std::size_t count() const;

private:
  using Lock = std::unique_lock<std::mutex>;

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

  const Environment &environment_;
  const Options options_;
  const Authorized authorized_;

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<StdioSession>> sessions_;
  // Sessions being initialised and not yet in `sessions_`.
  int initializing_ = 0;

  // Sessions let go of, waiting for their children to end (each within its kill grace), so that
  // no connection ever waits for a child. Counted against the session limit until gone.
  std::mutex endingMutex_;
  std::condition_variable endingReady_;
  std::deque<StdioSession *> endingQueue_;
  bool endingOpen_ = true;
  std::atomic<std::size_t> ending_{0};
  std::jthread endingThread_;
};

} // namespace pellum
