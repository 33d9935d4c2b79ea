#include "bridge/StdioEndpoint.h"

#include "bridge/BridgeAnswers.h"
#include "support/Ascii.h"
#include "support/Encoding.h"
#include "support/JsonRpc.h"
#include "support/JsonText.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace pellum {

namespace {

using nlohmann::json;

constexpr std::string_view kInitializationFailed =
    "Local MCP initialization failed. Check the command and environment.";
constexpr std::string_view kOperationFailed = "Local MCP operation failed or timed out.";

constexpr std::array<std::string_view, 7> kForwardedMethods = {
    "tools/list",    "tools/call",     "prompts/list",
    "prompts/get",   "resources/list", "resources/templates/list",
    "resources/read"};

void jsonAnswer(HTTPConnection &client, const std::string &body) {
  client.respond(200, body, kJSONHeaders);
}

// The text of the message's "id" as the client wrote it.
std::string idText(const json &message, std::string_view body) {
  if (auto raw = jsonMember(body, "id")) {
    return std::string(*raw);
  }
  return message["id"].dump(); // not reached for a body that parsed as `message`
}

// The body as a JSON object, or a discarded value when it is not one (or nests too deeply:
// serialising it for the child recurses per level).
json parseObject(const std::string &body) {
  bool tooDeep = false;
  json::parser_callback_t limit = [&tooDeep](int depth, json::parse_event_t, json &) {
    if (depth > static_cast<int>(kRpcMaxNesting)) {
      tooDeep = true;
      return false;
    }
    return true;
  };
  json parsed = json::parse(body, limit, false);
  if (tooDeep || !parsed.is_object()) {
    return json::value_t::discarded;
  }
  return parsed;
}

// A message the endpoint looks at: "jsonrpc" "2.0", a string "method", and an "id", when
// present, that is a string or a number (JSON true and false count as numbers; null does not).
bool isRPCMessage(const json &message) {
  auto version = message.find("jsonrpc");
  auto method = message.find("method");
  if (version == message.end() || !version->is_string() || *version != "2.0" ||
      method == message.end() || !method->is_string()) {
    return false;
  }
  auto id = message.find("id");
  return id == message.end() || id->is_string() || id->is_number() || id->is_boolean();
}

std::string chooseVersion(const json &message) {
  auto params = message.find("params");
  if (params != message.end() && params->is_object()) {
    auto wanted = params->find("protocolVersion");
    if (wanted != params->end() && wanted->is_string()) {
      const auto &text = wanted->get_ref<const std::string &>();
      for (std::string_view known : StdioSession::kProtocolVersions) {
        if (text == known) {
          return text;
        }
      }
    }
  }
  return std::string(StdioEndpoint::kDefaultProtocolVersion);
}

} // namespace

StdioEndpoint::StdioEndpoint(const Environment &environment, Options options, Authorized authorized)
    : environment_(environment), options_(std::move(options)), authorized_(std::move(authorized)) {}

StdioEndpoint::~StdioEndpoint() {
  closeAll();
  finish();
}

void StdioEndpoint::serve(const HTTPRequest &request, const LocalServer &server,
                          HTTPConnection &client, std::stop_token stop) {
  std::shared_ptr<StdioSession> session;
  std::string sessionId;
  if (auto header = request.headers.find("mcp-session-id"); header != request.headers.end()) {
    Lock lock(mutex_);
    auto found = sessions_.find(header->second);
    if (found != sessions_.end() && found->second->slug() == server.slug) {
      session = found->second;
      sessionId = header->second;
    }
  }
  if (request.headers.count("mcp-session-id") != 0 && !session) {
    emptyAnswer(client, 404);
    return;
  }

  if (request.method == "DELETE") {
    if (!session) {
      emptyAnswer(client, 400);
      return;
    }
    endSession(sessionId, session);
    emptyAnswer(client, 200);
    return;
  }
  if (request.method == "GET") {
    emptyAnswer(client, session ? 405 : 400, {{"allow", "POST, DELETE"}});
    return;
  }

  auto contentType = request.headers.find("content-type");
  if (contentType == request.headers.end() ||
      !lowerASCII(contentType->second).starts_with("application/json")) {
    emptyAnswer(client, 400);
    return;
  }
  json message = parseObject(request.body);
  if (message.is_discarded() || !isRPCMessage(message)) {
    emptyAnswer(client, 400);
    return;
  }
  if (!session) {
    openSession(message, request.body, server, client, stop);
  } else {
    sessionMessage(message, request.body, sessionId, session, server, client, stop);
  }
}

std::shared_ptr<StdioSession> StdioEndpoint::newSession(const LocalServer &server) {
  // Whoever lets go of a session last, its child's grace runs on the ending thread, never on
  // a connection's.
  return std::shared_ptr<StdioSession>(new StdioSession(server, environment_, options_.session),
                                       [this](StdioSession *ended) { retire(ended); });
}

void StdioEndpoint::retire(StdioSession *session) noexcept {
  session->close(); // its grace begins now, alongside the others'
  ++ending_;
  {
    std::lock_guard lock(endingMutex_);
    if (endingOpen_) {
      try {
        if (!endingThread_.joinable()) {
          endingThread_ = std::jthread([this] { endingLoop(); }); // only once a session ends
        }
        endingQueue_.push_back(session);
        endingReady_.notify_one();
        return;
      } catch (...) {
        // No memory for the queue: end it here.
      }
    }
  }
  delete session;
  --ending_;
}

void StdioEndpoint::endingLoop() {
  for (;;) {
    StdioSession *session;
    {
      std::unique_lock lock(endingMutex_);
      endingReady_.wait(lock, [this] { return !endingQueue_.empty() || !endingOpen_; });
      if (endingQueue_.empty()) {
        return;
      }
      session = endingQueue_.front();
      endingQueue_.pop_front();
    }
    delete session;
    --ending_;
  }
}

void StdioEndpoint::endSession(const std::string &sessionId,
                               const std::shared_ptr<StdioSession> &session) {
  session->close();
  std::shared_ptr<StdioSession> removed;
  Lock lock(mutex_);
  if (auto found = sessions_.find(sessionId);
      found != sessions_.end() && found->second == session) {
    removed = std::move(found->second);
    sessions_.erase(found);
  }
}

void StdioEndpoint::openSession(const json &message, std::string_view body,
                                const LocalServer &server, HTTPConnection &client,
                                std::stop_token stop) {
  if (message["method"] != "initialize" || !message.contains("id")) {
    emptyAnswer(client, 400);
    return;
  }
  {
    Lock lock(mutex_);
    // Sessions whose children are still ending count too: so many children, no more.
    if (sessions_.size() + static_cast<std::size_t>(initializing_) + ending_.load() >=
        kMaxSessions) {
      lock.unlock();
      emptyAnswer(client, 429, {{"retry-after", "5"}});
      return;
    }
    ++initializing_;
  }
  // Gives the reserved place back on every way out, unless the session took it over.
  struct Reservation {
    StdioEndpoint &endpoint;
    bool held = true;
    ~Reservation() {
      if (held) {
        Lock lock(endpoint.mutex_);
        --endpoint.initializing_;
      }
    }
  } reservation{*this};

  std::shared_ptr<StdioSession> session = newSession(server);
  nlohmann::ordered_json result;
  bool opened = false;
  try {
    result = session->initialize(chooseVersion(message), stop);
    opened = true;
  } catch (...) {
    // Told to the client below in one sentence; the reason stays here.
  }
  std::string id;
  if (opened) {
    id = newUUID();
    Lock lock(mutex_);
    opened = authorized_(server.slug);
    if (opened) {
      sessions_.emplace(id, session);
      --initializing_;
      reservation.held = false;
    }
  }
  if (!opened) {
    session->close();
    errorAnswer(client, 502, kInitializationFailed);
    return;
  }
  std::string answer;
  try {
    answer = rpcResult(idText(message, body), result.dump());
  } catch (const json::exception &) {
    // Not serialisable (text that is not UTF-8): no session for it.
    endSession(id, session);
    errorAnswer(client, 502, kInitializationFailed);
    return;
  }
  try {
    client.respond(200, answer, {{"mcp-session-id", id}, {"content-type", "application/json"}});
  } catch (...) {
    session->close(); // pruning removes it
    throw;
  }
}

void StdioEndpoint::sessionMessage(const json &message, std::string_view body,
                                   const std::string &sessionId,
                                   const std::shared_ptr<StdioSession> &session,
                                   const LocalServer &server, HTTPConnection &client,
                                   std::stop_token stop) {
  const auto &method = message["method"].get_ref<const std::string &>();
  if (!message.contains("id")) {
    if (method == "notifications/cancelled") {
      endSession(sessionId, session);
    }
    emptyAnswer(client, 202); // other notifications are not the child's business
    return;
  }
  const std::string id = idText(message, body);
  if (method == "ping") {
    jsonAnswer(client, rpcResult(id, "{}")); // no activity of the session
    return;
  }
  if (std::find(kForwardedMethods.begin(), kForwardedMethods.end(), method) ==
      kForwardedMethods.end()) {
    jsonAnswer(client, rpcError(id, kRpcMethodNotFound, "Method not supported"));
    return;
  }

  std::optional<StdioSession::Response> response;
  try {
    response = session->request(method, jsonMember(body, "params"), options_.forwardTimeout, stop);
  } catch (...) {
    // Time-out, closed session, stopped child: one sentence for all of them.
  }
  if (!response || !authorized_(server.slug)) {
    errorAnswer(client, 502, kOperationFailed);
    return;
  }
  // The child's own error code, message and data stay here.
  jsonAnswer(client, response->hasResult()
                         ? rpcResult(id, response->result())
                         : rpcError(id, kRpcInternalError, "Local MCP operation failed."));
}

void StdioEndpoint::prune() {
  std::vector<std::pair<std::string, std::shared_ptr<StdioSession>>> snapshot;
  {
    Lock lock(mutex_);
    snapshot.assign(sessions_.begin(), sessions_.end());
  }
  std::vector<std::shared_ptr<StdioSession>> removed;
  for (auto &[id, session] : snapshot) {
    const bool closed = session->closed();
    const auto touched = session->touched();
    const bool spent = closed || options_.session.clock->now() - touched > options_.idleLimit;
    Lock lock(mutex_);
    if (!spent && authorized_(session->slug())) {
      continue;
    }
    if (auto found = sessions_.find(id); found != sessions_.end() && found->second == session) {
      sessions_.erase(found);
    }
    removed.push_back(session);
  }
  for (const auto &session : removed) {
    session->close();
  }
  // The children end on the ending thread; nobody here waits for them.
}

void StdioEndpoint::closeAll() {
  std::map<std::string, std::shared_ptr<StdioSession>> sessions;
  {
    Lock lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto &[id, session] : sessions) {
    session->close();
  }
}

void StdioEndpoint::finish() {
  std::jthread ending;
  {
    std::lock_guard lock(endingMutex_);
    endingOpen_ = false;
    endingReady_.notify_all();
    ending.swap(endingThread_);
  }
  if (ending.joinable()) {
    ending.join(); // the children's graces, all begun before
  }
}

std::size_t StdioEndpoint::count() const {
  Lock lock(mutex_);
  return sessions_.size();
}

} // namespace pellum
