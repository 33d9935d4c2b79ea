#include "bridge/NativeBridge.h"

#include "platform/TCPListener.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/JsonText.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace pellum {

namespace {

using nlohmann::json;

constexpr std::string_view kInvalidRequest = "Invalid or interrupted local request.";
constexpr std::string_view kInitializationFailed =
    "Local MCP initialization failed. Check the command and environment.";
constexpr std::string_view kOperationFailed = "Local MCP operation failed or timed out.";

constexpr std::array<std::string_view, 7> kForwardedMethods = {
    "tools/list",    "tools/call",     "prompts/list",
    "prompts/get",   "resources/list", "resources/templates/list",
    "resources/read"};

// Deeper client JSON than this is refused: serialising it for the child recurses per level.
constexpr int kMaxNesting = 512;
// The reactor looks at the clock at least this often.
constexpr std::chrono::milliseconds kLongestPoll{60'000};
// How long the reactor stops accepting after the system refused to hand out a socket.
constexpr std::chrono::milliseconds kAcceptBackoff{100};
// Connection threads kept waiting for the next connection; more end once they are done.
constexpr std::size_t kIdleWorkers = 16;
// How long after accepting a connection the reactor first looks whether its request has been
// read. Most requests are answered sooner, so their sockets are never polled for a hang-up and
// nobody wakes the reactor for them; a client that hangs up is noticed at most this much later.
constexpr std::chrono::milliseconds kWatchDelay{10};
// A lease longer than about a century is a century: the clock must not overflow.
constexpr double kLongestLease = 100.0 * 365 * 24 * 3600;

const HeaderMap kJSONHeaders = {{"content-type", "application/json"}};

std::string errorBody(std::string_view sentence) { return json{{"error", sentence}}.dump(); }

// A head with `status`, the given headers, no body.
void emptyAnswer(HTTPConnection &client, int status, const HeaderMap &headers = {}) {
  client.head(status, headers, false, 0);
}

void jsonAnswer(HTTPConnection &client, const std::string &body) {
  client.respond(200, body, kJSONHeaders);
}

// JSON-RPC answers are put together from text: the client's id goes back exactly as it came,
// and a result exactly as the child wrote it.
std::string rpcResult(std::string_view id, std::string_view result) {
  std::string text = R"({"jsonrpc":"2.0","id":)";
  text.reserve(text.size() + id.size() + result.size() + 12);
  text += id;
  text += R"(,"result":)";
  text += result;
  text += '}';
  return text;
}

// The text of the message's "id" as the client wrote it.
std::string idText(const json &message, std::string_view body) {
  if (auto raw = jsonMember(body, "id")) {
    return std::string(*raw);
  }
  return message["id"].dump(); // not reached for a body that parsed as `message`
}

std::string rpcError(std::string_view id, int code, std::string_view message) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"error":{"code":)" +
         std::to_string(code) + R"(,"message":)" + json(message).dump() + "}}";
}

// The body as a JSON object, or a discarded value when it is not one (or nests too deeply).
json parseObject(const std::string &body) {
  bool tooDeep = false;
  json::parser_callback_t limit = [&tooDeep](int depth, json::parse_event_t, json &) {
    if (depth > kMaxNesting) {
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
  return std::string(NativeBridge::kDefaultProtocolVersion);
}

} // namespace

struct NativeBridge::Connection {
  std::string id;
  FileDescriptor socket;
  std::stop_source stop;
  Clock::time_point deadline;
  // When the reactor first looks whether the request has been read.
  Clock::time_point watchFrom;
  // The request has been read: the reactor watches the socket for the client hanging up.
  bool watched = false;
  // The reactor looked and found the request unread: watch() wakes it.
  bool wakeOnWatch = false;
  // The deadline has passed and the request was stopped.
  bool expired = false;
};

NativeBridge::NativeBridge(DeviceConfig config, Environment environment, Options options)
    : config_(std::move(config)), environment_(std::move(environment)),
      options_(std::move(options)), forwarder_(config_.port, environment_, options_.forwarder),
      wake_(Pipe::create()) {
  setNonBlocking(wake_.readEnd.get());
  setNonBlocking(wake_.writeEnd.get());
  config_.validate();
}

NativeBridge::~NativeBridge() { close(); }

void NativeBridge::authorize(const json &servers, double lease) {
  std::set<std::string> slugs;
  if (servers.is_array()) {
    for (const json &entry : servers) {
      if (!entry.is_object()) {
        continue;
      }
      auto enabled = entry.find("enabled");
      auto slug = entry.find("slug");
      if (enabled != entry.end() && enabled->is_boolean() && enabled->get<bool>() &&
          slug != entry.end() && slug->is_string()) {
        slugs.insert(slug->get<std::string>());
      }
    }
  }
  // NaN and negative leases are no lease at all.
  double seconds = std::isnan(lease) ? 0 : std::clamp(lease, 0.0, kLongestLease);
  auto until = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  {
    Lock lock(mutex_);
    allowed_ = std::move(slugs);
    leaseUntil_ = until;
  }
  prune();
}

std::uint16_t NativeBridge::start(std::optional<std::uint16_t> port) {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    Lock lock(mutex_);
    if (stopped_) {
      throw ConnectorError("Bridge listener cancelled.", 400);
    }
    if (listener_) {
      throw std::logic_error("The bridge listener is already started.");
    }
  }
  auto listener = std::make_unique<TCPListener>(port.value_or(config_.port));
  std::uint16_t bound = listener->port();
  {
    Lock lock(mutex_);
    listener_ = std::move(listener);
  }
  reactor_ = std::jthread([this](std::stop_token stop) { reactorLoop(stop); });
  pruning_ = std::jthread([this](std::stop_token stop) { pruningLoop(stop); });
  return bound;
}

void NativeBridge::accept(int fd) {
  if (admit(fd)) {
    wake(); // the reactor learns the new deadline
  }
}

bool NativeBridge::admit(int fd) {
  FileDescriptor socket(fd);
  reapFinished();
  bool handedOver = false;
  try {
    Lock lock(mutex_);
    if (stopped_ || requests_.size() >= kMaxConnections) {
      return false; // closed without a response
    }
    auto connection = std::make_shared<Connection>();
    connection->id = newUUID();
    connection->socket = std::move(socket);
    const auto now = Clock::now();
    connection->deadline = now + options_.connectionLimit;
    connection->watchFrom = now + kWatchDelay;
    const std::string id = connection->id;
    requests_.emplace(id, connection);
    try {
      // A waiting thread saves starting one. Threads never outnumber the connections being
      // served, since a thread starts only when none waits.
      if (idleWorkers_ > 0) {
        pending_.push_back(connection);
        --idleWorkers_;
        handedOver = true;
      } else {
        // Started under the lock so that the thread is on record before it can finish.
        std::uint64_t worker = nextWorker_++;
        workers_.emplace(worker, std::jthread(&NativeBridge::work, this, worker, connection));
      }
    } catch (...) {
      requests_.erase(id);
      throw;
    }
  } catch (...) {
    return false; // no memory, randomness or thread to spare: the connection is dropped unanswered
  }
  // After the lock is released, so that the woken thread does not wait for it at once.
  if (handedOver) {
    workReady_.notify_one();
  }
  return true;
}

void NativeBridge::work(std::uint64_t worker, std::shared_ptr<Connection> connection) {
  for (;;) {
    serve(connection);
    const std::string id = connection->id;
    connection.reset(); // its socket closes now, not when the next connection comes
    // One step from serving to waiting, so that threads never outnumber the connections. The
    // reactor needs no wake-up: a watched socket, now shut down, wakes it by itself, and a
    // deadline that is gone only makes it look once more.
    Lock lock(mutex_);
    requests_.erase(id);
    // Enough threads wait already: this one ends, since a waiting thread's stack stays resident.
    bool wanted = idleWorkers_ < kIdleWorkers;
    if (wanted) {
      ++idleWorkers_;
      workReady_.wait_for(lock, options_.workerIdle,
                          [this] { return !pending_.empty() || stopped_; });
      wanted = !pending_.empty();
      if (!wanted) {
        --idleWorkers_;
      }
    }
    if (!wanted) {
      finished_.push_back(worker);
      lock.unlock();
      wake(); // to be joined
      return;
    }
    connection = std::move(pending_.front());
    pending_.pop_front();
  }
}

void NativeBridge::serve(const std::shared_ptr<Connection> &connection) {
  std::stop_token stop = connection->stop.get_token();
  {
    HTTPConnection client(connection->socket.get(), connection->deadline, stop);
    try {
      HTTPRequest request = client.request();
      watch(connection->id);
      handle(request, client, stop);
    } catch (...) {
      if (!client.sentHeaders()) {
        try {
          client.respond(400, errorBody(kInvalidRequest), kJSONHeaders);
        } catch (...) {
          // The client is gone; there is no one left to tell.
        }
      }
    }
  }
  ::shutdown(connection->socket.get(), SHUT_RDWR);
}

void NativeBridge::watch(const std::string &id) {
  {
    Lock lock(mutex_);
    auto found = requests_.find(id);
    if (found == requests_.end()) {
      return;
    }
    found->second->watched = true;
    if (!found->second->wakeOnWatch) {
      return; // the reactor looks by itself
    }
  }
  wake();
}

void NativeBridge::reapFinished() {
  std::vector<std::jthread> done;
  {
    Lock lock(mutex_);
    for (std::uint64_t worker : finished_) {
      auto node = workers_.extract(worker);
      if (!node.empty()) {
        done.push_back(std::move(node.mapped()));
      }
    }
    finished_.clear();
  }
  for (std::jthread &thread : done) {
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
      thread.join();
    }
  }
}

void NativeBridge::wake() {
  char byte = 0;
  // A full pipe already guarantees a wake-up.
  [[maybe_unused]] ssize_t written = ::write(wake_.writeEnd.get(), &byte, 1);
}

void NativeBridge::cancelRequest(const std::string &id) {
  std::stop_source stop;
  {
    Lock lock(mutex_);
    auto found = requests_.find(id);
    if (found == requests_.end()) {
      return;
    }
    found->second->watched = false;
    stop = found->second->stop;
  }
  stop.request_stop();
}

void NativeBridge::reactorLoop(std::stop_token stop) {
  std::stop_callback onStop(stop, [this] { wake(); });
  Clock::time_point acceptPausedUntil = Clock::time_point::min();
  while (!stop.stop_requested()) {
    reapFinished();
    std::vector<pollfd> entries;
    std::vector<std::shared_ptr<Connection>> watched; // kept open while polled
    std::vector<std::stop_source> expired;
    const auto now = Clock::now();
    auto next = now + kLongestPoll;
    const bool accepting = now >= acceptPausedUntil;
    if (!accepting) {
      next = std::min(next, acceptPausedUntil);
    }
    {
      Lock lock(mutex_);
      entries.push_back({wake_.readEnd.get(), POLLIN, 0});
      entries.push_back({listener_->fd(), static_cast<short>(accepting ? POLLIN : 0), 0});
      for (auto &[id, connection] : requests_) {
        if (!connection->expired) {
          if (now >= connection->deadline) {
            connection->expired = true;
            connection->watched = false;
            expired.push_back(connection->stop);
          } else {
            next = std::min(next, connection->deadline);
          }
        }
        if (!connection->watched && !connection->wakeOnWatch && !connection->expired) {
          if (now >= connection->watchFrom) {
            connection->wakeOnWatch = true;
          } else {
            next = std::min(next, connection->watchFrom);
          }
        }
        if (connection->watched) {
          entries.push_back({connection->socket.get(), TCPListener::kHangUpEvents, 0});
          watched.push_back(connection);
        }
      }
    }
    for (std::stop_source &source : expired) {
      source.request_stop();
    }
    if (!expired.empty()) {
      continue; // the stopped connections are polled no more
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    int ready = ::poll(entries.data(), entries.size(),
                       static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
    if (ready <= 0) {
      continue; // time-out, or EINTR; other failures cannot arise with valid descriptors
    }
    if (entries[0].revents != 0) {
      char drain[64];
      while (::read(wake_.readEnd.get(), drain, sizeof drain) > 0) {
      }
    }
    if (entries[1].revents != 0) {
      for (;;) {
        int fd;
        try {
          fd = listener_->accept();
        } catch (const std::system_error &) {
          // Out of descriptors or memory: try again shortly rather than spin.
          acceptPausedUntil = Clock::now() + kAcceptBackoff;
          break;
        }
        if (fd < 0) {
          break;
        }
        admit(fd); // the loop looks at the deadlines next anyway
      }
    }
    for (std::size_t i = 2; i < entries.size(); ++i) {
      if ((entries[i].revents & (TCPListener::kHangUpEvents | POLLNVAL)) != 0) {
        cancelRequest(watched[i - 2]->id);
      }
    }
  }
}

void NativeBridge::pruningLoop(std::stop_token stop) {
  for (;;) {
    {
      Lock lock(mutex_);
      pruneWake_.wait_for(lock, stop, options_.pruningPeriod, [] { return false; });
    }
    if (stop.stop_requested()) {
      return;
    }
    prune();
  }
}

std::optional<int> NativeBridge::authorizationStatus(const HTTPRequest &request) const {
  if (request.headers.count("origin") != 0) {
    return 403;
  }
  const std::string expected = "Basic " + base64Encode("kestrin:" + config_.bridgePassword);
  auto given = request.headers.find("authorization");
  std::string_view received;
  if (given != request.headers.end()) {
    received = given->second;
  }
  // Digests of fixed length, compared without an early exit: the time says nothing.
  if (!constantTimeEquals(sha256Digest(expected), sha256Digest(received))) {
    return 401;
  }
  Lock lock(mutex_);
  if (Clock::now() >= leaseUntil_) {
    return 503;
  }
  return std::nullopt;
}

void NativeBridge::handle(const HTTPRequest &request, HTTPConnection &client,
                          std::stop_token stop) {
  if (auto status = authorizationStatus(request)) {
    emptyAnswer(client, *status);
    return;
  }
  const std::string &target = request.target;
  if (!target.starts_with("/s/") || target.find('?') != std::string::npos) {
    emptyAnswer(client, 404);
    return;
  }
  const LocalServer *server = nullptr;
  for (const LocalServer &candidate : config_.servers) {
    std::string_view rest = std::string_view(target).substr(3);
    if (rest == candidate.slug ||
        (rest.ends_with('/') && rest.substr(0, rest.size() - 1) == candidate.slug)) {
      server = &candidate;
      break;
    }
  }
  bool allowed = false;
  if (server != nullptr) {
    Lock lock(mutex_);
    allowed = allowed_.count(server->slug) != 0;
  }
  if (!allowed) {
    emptyAnswer(client, 404); // a withdrawn namespace looks like one that does not exist
    return;
  }
  const std::string &method = request.method;
  if (method != "GET" && method != "POST" && method != "DELETE") {
    emptyAnswer(client, 405, {{"allow", "GET, POST, DELETE"}});
    return;
  }
  if (server->type == "http") {
    proxy(request, *server, client, stop);
  } else {
    stdio(request, *server, client, stop);
  }
}

void NativeBridge::proxy(const HTTPRequest &request, const LocalServer &server,
                         HTTPConnection &client, std::stop_token stop) {
  const std::string slug = server.slug;
  forwarder_.forward(request, server, client, stop, [this, slug] { return stillAuthorized(slug); });
}

bool NativeBridge::stillAuthorized(const std::string &slug) const {
  Lock lock(mutex_);
  return stillAuthorizedLocked(slug);
}

bool NativeBridge::stillAuthorizedLocked(const std::string &slug) const {
  return !stopped_ && Clock::now() < leaseUntil_ && allowed_.count(slug) != 0;
}

void NativeBridge::stdio(const HTTPRequest &request, const LocalServer &server,
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

std::shared_ptr<StdioSession> NativeBridge::newSession(const LocalServer &server) {
  // Whoever lets go of a session last, its child's grace runs on the ending thread, never on
  // a connection's.
  return std::shared_ptr<StdioSession>(new StdioSession(server, environment_, options_.session),
                                       [this](StdioSession *ended) { retire(ended); });
}

void NativeBridge::retire(StdioSession *session) noexcept {
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

void NativeBridge::endingLoop() {
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

void NativeBridge::endSession(const std::string &sessionId,
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

void NativeBridge::openSession(const json &message, std::string_view body,
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
    NativeBridge &bridge;
    bool held = true;
    ~Reservation() {
      if (held) {
        Lock lock(bridge.mutex_);
        --bridge.initializing_;
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
    opened = stillAuthorizedLocked(server.slug);
    if (opened) {
      sessions_.emplace(id, session);
      --initializing_;
      reservation.held = false;
    }
  }
  if (!opened) {
    session->close();
    client.respond(502, errorBody(kInitializationFailed), kJSONHeaders);
    return;
  }
  std::string answer;
  try {
    answer = rpcResult(idText(message, body), result.dump());
  } catch (const json::exception &) {
    // Not serialisable (text that is not UTF-8): no session for it.
    endSession(id, session);
    client.respond(502, errorBody(kInitializationFailed), kJSONHeaders);
    return;
  }
  try {
    client.respond(200, answer, {{"mcp-session-id", id}, {"content-type", "application/json"}});
  } catch (...) {
    session->close(); // pruning removes it
    throw;
  }
}

void NativeBridge::sessionMessage(const json &message, std::string_view body,
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
    jsonAnswer(client, rpcError(id, -32601, "Method not supported"));
    return;
  }

  std::optional<StdioSession::Response> response;
  try {
    response = session->request(method, jsonMember(body, "params"), options_.forwardTimeout, stop);
  } catch (...) {
    // Time-out, closed session, stopped child: one sentence for all of them.
  }
  if (!response || !stillAuthorized(server.slug)) {
    client.respond(502, errorBody(kOperationFailed), kJSONHeaders);
    return;
  }
  // The child's own error code, message and data stay here.
  jsonAnswer(client, response->hasResult() ? rpcResult(id, response->result())
                                           : rpcError(id, -32603, "Local MCP operation failed."));
}

void NativeBridge::prune() {
  std::vector<std::pair<std::string, std::shared_ptr<StdioSession>>> snapshot;
  {
    Lock lock(mutex_);
    snapshot.assign(sessions_.begin(), sessions_.end());
  }
  std::vector<std::shared_ptr<StdioSession>> removed;
  for (auto &[id, session] : snapshot) {
    const bool closed = session->closed();
    const auto touched = session->touched();
    const auto now = Clock::now();
    const bool spent = closed || now - touched > options_.idleLimit;
    Lock lock(mutex_);
    if (now < leaseUntil_ && allowed_.count(session->slug()) != 0 && !spent) {
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
  std::vector<std::stop_source> cut;
  {
    Lock lock(mutex_);
    if (Clock::now() >= leaseUntil_) {
      for (auto &[id, connection] : requests_) {
        cut.push_back(connection->stop);
      }
    }
  }
  for (std::stop_source &stop : cut) {
    stop.request_stop();
  }
  // The children end on the ending thread; nobody here waits for them.
  snapshot.clear();
  removed.clear();
}

void NativeBridge::close() {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    Lock lock(mutex_);
    stopped_ = true;
    workReady_.notify_all(); // waiting connection threads end
  }
  if (pruning_.joinable()) {
    pruning_.request_stop();
    pruning_.join();
  }
  if (reactor_.joinable()) {
    reactor_.request_stop();
    reactor_.join();
  }
  {
    Lock lock(mutex_);
    listener_.reset();
  }
  forwarder_.invalidate();

  // Everything is told to stop before anything is waited for, so that the children's graces
  // and the connections' ends all overlap.
  std::vector<std::stop_source> stops;
  std::map<std::string, std::shared_ptr<StdioSession>> sessions;
  {
    Lock lock(mutex_);
    for (auto &[id, connection] : requests_) {
      stops.push_back(connection->stop);
    }
    sessions.swap(sessions_);
  }
  for (std::stop_source &stop : stops) {
    stop.request_stop();
  }
  for (auto &[id, session] : sessions) {
    session->close();
  }
  sessions.clear();
  std::map<std::uint64_t, std::jthread> workers;
  {
    Lock lock(mutex_);
    workers.swap(workers_);
    finished_.clear();
  }
  workers.clear(); // joins every connection thread; their waits end at their stop
  {
    Lock lock(mutex_);
    pending_.clear(); // taken by no one: the threads ended first
    requests_.clear();
  }
  std::jthread ending;
  {
    std::lock_guard lock(endingMutex_);
    endingOpen_ = false;
    endingReady_.notify_all();
    ending.swap(endingThread_);
  }
  if (ending.joinable()) {
    ending.join(); // the children's graces, all begun above
  }
}

std::size_t NativeBridge::requestCount() const {
  Lock lock(mutex_);
  return requests_.size();
}

std::size_t NativeBridge::sessionCount() const {
  Lock lock(mutex_);
  return sessions_.size();
}

} // namespace pellum
