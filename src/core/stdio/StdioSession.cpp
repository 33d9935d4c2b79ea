#include "stdio/StdioSession.h"

#include "platform/User.h"
#include "stdio/ExecutableFinder.h"
#include "support/ConnectorError.h"
#include "support/JsonText.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>

namespace pellum {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::size_t kChunkSize = 65536;
// A reader waits at most this long in one poll, so that a far deadline never overflows it.
constexpr std::chrono::milliseconds kLongestPoll{60'000};
// How many reads a look at an idle session makes at most: enough to reach the end of a child's
// output, few enough that a chatty child cannot keep the caller.
constexpr int kGlanceReads = 4;

ConnectorError failedOrTimedOut() {
  return ConnectorError("Local MCP operation failed or timed out.", 400);
}

ConnectorError processStopped() { return ConnectorError("Local MCP process stopped.", 400); }

ConnectorError sessionClosed() { return ConnectorError("Local MCP session closed.", 400); }

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  // About a century: long enough to mean "never", short enough not to overflow the clock.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
  return Clock::now() + std::clamp(timeout, std::chrono::milliseconds(0), kLongest);
}

ordered_json clientInfo() {
  return {{"name", StdioSession::kClientName}, {"version", StdioSession::kClientVersion}};
}

} // namespace

StdioSession::StdioSession(const LocalServer &server, const Environment &environment)
    : StdioSession(server, environment, Options{}) {}

StdioSession::StdioSession(const LocalServer &server, const Environment &environment,
                           Options options)
    : slug_(server.slug), options_(std::move(options)), input_(Pipe::create()),
      output_(Pipe::create()), wake_(Pipe::create()), touched_(options_.clock->now()) {
  Environment child;
  for (std::string_view name : kBaseVariables) {
    if (auto found = environment.find(std::string(name)); found != environment.end()) {
      child.insert(*found);
    }
  }
  for (const std::string &name : server.envNames.value_or(std::vector<std::string>{})) {
    if (auto found = environment.find(name); found != environment.end()) {
      child[name] = found->second;
    }
  }
  std::optional<std::string> inherited;
  if (auto path = child.find("PATH"); path != child.end()) {
    inherited = path->second;
  }
  std::optional<std::string> shell =
      options_.shellPath ? options_.shellPath() : ExecutableFinder::shellPath();
  child["PATH"] = ExecutableFinder::searchPath(inherited, shell);

  const std::string command = server.command.value_or("");
  if (command.starts_with('/')) {
    launch_.executable = command;
  } else if (auto found = ExecutableFinder::findExecutable(command, child["PATH"])) {
    launch_.executable = found->string();
  } else {
    throw ConnectorError("Local MCP executable '" + command +
                             "' was not found in the configured or shell PATH.",
                         400);
  }
  launch_.arguments = server.args.value_or(std::vector<std::string>{});
  launch_.workingDirectory = server.cwd ? *server.cwd : homeDirectory().string();
  launch_.environment = std::move(child);
  launch_.standardInput = input_.readEnd.get();
  launch_.standardOutput = output_.writeEnd.get();
  launch_.standardError = options_.standardError;
  // Whatever the server starts (a launcher's real server, helpers) ends with the session.
  launch_.processGroup = true;
  setNonBlocking(wake_.readEnd.get());
  setNonBlocking(wake_.writeEnd.get());
}

StdioSession::~StdioSession() {
  close();
  if (process_) {
    // Give the child its grace; ~ChildProcess kills and reaps whatever is left.
    process_->waitUntil(closedAt_ + options_.killGrace + std::chrono::seconds(1));
  }
}

void StdioSession::start() {
  {
    Lock lock(mutex_);
    if (closed_ || started_) {
      throw sessionClosed();
    }
    started_ = true;
  }
  std::unique_ptr<ChildProcess> child;
  try {
    child = std::make_unique<ChildProcess>(launch_);
  } catch (...) {
    close();
    throw;
  }
  // The child holds its own copies; ours would keep its input and our output from ending.
  input_.readEnd.reset();
  output_.writeEnd.reset();
  bool closedMeanwhile;
  std::exception_ptr failure;
  try {
    setNonBlocking(input_.writeEnd.get());
    setNonBlocking(output_.readEnd.get());
    chunk_ = std::make_unique_for_overwrite<char[]>(kChunkSize);
  } catch (...) {
    failure = std::current_exception();
  }
  {
    Lock lock(mutex_);
    process_ = std::move(child);
    closedMeanwhile = closed_;
  }
  if (failure) {
    close();
    std::rethrow_exception(failure);
  }
  if (closedMeanwhile) {
    process_->terminate(options_.killGrace);
  }
}

ordered_json StdioSession::initialize(const std::string &version, std::stop_token stop) {
  const auto deadline = deadlineAfter(options_.initializeTimeout);
  start();
  ordered_json params = {{"protocolVersion", version},
                         {"capabilities", ordered_json::object()},
                         {"clientInfo", clientInfo()}};
  Response response = requestUntil("initialize", params.dump(), deadline, stop);
  {
    Lock lock(mutex_);
    initializeAnswer_ = json::parse(response.message, nullptr, false);
  }

  ordered_json result = ordered_json::parse(response.result(), nullptr, false);
  bool accepted = false;
  if (result.is_object()) {
    auto protocol = result.find("protocolVersion");
    accepted = protocol != result.end() && protocol->is_string() &&
               std::find(kProtocolVersions.begin(), kProtocolVersions.end(),
                         protocol->get_ref<const std::string &>()) != kProtocolVersions.end();
  }
  if (!accepted) {
    close();
    throw ConnectorError("Local MCP initialization failed.", 400);
  }

  ordered_json capabilities = ordered_json::object();
  if (auto offered = result.find("capabilities"); offered != result.end() && offered->is_object()) {
    capabilities = *offered;
  }
  ordered_json reported = ordered_json::object();
  for (const char *name : {"tools", "prompts", "resources"}) {
    if (capabilities.contains(name)) {
      reported[name] = ordered_json::object();
    }
  }
  result["capabilities"] = std::move(reported);
  result["serverInfo"] = clientInfo();

  // The handshake ends once the child has taken the notification, within the same limit.
  Lock lock(mutex_);
  capabilities_ = std::move(capabilities);
  if (closed_) {
    throw processStopped();
  }
  std::optional<std::uint64_t> end =
      send(lock, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n");
  if (!end) {
    closeLocked(lock);
    throw processStopped();
  }
  if (await(
          lock, [&] { return written_ >= *end; }, deadline, stop)) {
    return result;
  }
  if (closed_) {
    throw processStopped();
  }
  closeLocked(lock);
  throw failedOrTimedOut();
}

StdioSession::Response StdioSession::request(std::string_view method,
                                             std::optional<std::string_view> params,
                                             std::chrono::milliseconds timeout,
                                             std::stop_token stop) {
  return requestUntil(method, params, deadlineAfter(timeout), stop);
}

StdioSession::Response StdioSession::requestUntil(std::string_view method,
                                                  std::optional<std::string_view> params,
                                                  Clock::time_point deadline,
                                                  std::stop_token stop) {
  auto waiter = std::make_shared<Waiter>();
  std::int64_t id;
  {
    Lock lock(mutex_);
    if (closed_) {
      throw sessionClosed();
    }
    touched_ = options_.clock->now();
    id = ++sequence_;
    pending_[id] = waiter;
  }
  std::string bytes = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":)" +
                      nlohmann::json(method).dump();
  if (params) {
    bytes += ",\"params\":";
    bytes += jsonOnOneLine(*params);
  }
  bytes += "}\n";

  Lock lock(mutex_);
  if (!waiter->done) {
    std::optional<std::uint64_t> sent;
    try {
      sent = send(lock, bytes);
    } catch (const ConnectorError &) {
      // Too large, or closed meanwhile: a failed write either way.
    }
    if (!sent) {
      closeLocked(lock);
      throw failedOrTimedOut();
    }
  }
  if (await(
          lock, [&] { return waiter->done; }, deadline, stop)) {
    if (waiter->failed) {
      throw failedOrTimedOut();
    }
    return std::move(waiter->answer);
  }
  // Timed out or given up: the whole session goes.
  closeLocked(lock);
  throw failedOrTimedOut();
}

std::optional<std::uint64_t> StdioSession::send(Lock &lock, std::string_view bytes) {
  (void)lock;
  if (closed_ || !process_) {
    throw processStopped();
  }
  if (bytes.size() > kMessageLimit) {
    throw ConnectorError("MCP message too large.", 400);
  }
  const std::size_t waiting = outbox_.size() - outboxStart_;
  if (waiting == 0) {
    std::size_t taken;
    try {
      taken = writeSome(input_.writeEnd.get(), bytes);
    } catch (const std::system_error &) {
      return std::nullopt; // the child closed its input
    }
    queued_ += taken;
    written_ += taken;
    bytes.remove_prefix(taken);
    if (bytes.empty()) {
      return queued_;
    }
  }
  if (waiting + bytes.size() > kQueueLimit) {
    return std::nullopt; // the child does not read: nothing more waits for it
  }
  if (outboxStart_ > 0) {
    outbox_.erase(0, outboxStart_);
    outboxStart_ = 0;
  }
  outbox_.append(bytes);
  queued_ += bytes.size();
  if (waiting == 0 && reader_) {
    wakeReader(); // it watches the pipe for room from now on
  }
  return queued_;
}

bool StdioSession::await(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
                         std::stop_token stop) {
  for (;;) {
    if (done()) {
      return true;
    }
    if (closed_ || stop.stop_requested() || Clock::now() >= deadline) {
      return false;
    }
    if (!reader_) {
      read(lock, done, deadline, stop);
      continue;
    }
    changed_.wait_until(lock, stop, deadline, [&] { return done() || closed_ || !reader_; });
  }
}

void StdioSession::read(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
                        const std::stop_token &stop) {
  // Whichever way the reading ends, the next waiter may take it over.
  struct Role {
    StdioSession &session;
    explicit Role(StdioSession &owner) : session(owner) { session.reader_ = true; }
    ~Role() {
      session.reader_ = false;
      if (session.closed_) {
        session.input_.writeEnd.reset(); // the child sees end of file on its standard input
      }
      session.changed_.notify_all();
    }
    Role(const Role &) = delete;
    Role &operator=(const Role &) = delete;
  } role(*this);
  lead(lock, done, deadline, stop);
}

void StdioSession::lead(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
                        const std::stop_token &stop) {
  std::stop_callback onStop(stop, [this] { wakeReader(); });
  const int from = output_.readEnd.get();
  const int to = input_.writeEnd.get();
  auto onLine = [this](std::string_view line) {
    std::optional<ChildMessage> message = ChildOutput::classify(line);
    if (!message) {
      keepRefused(line, line.size() > ChildOutput::kLineLimit);
      return false;
    }
    return take(line, *message);
  };
  const bool glance = Clock::now() >= deadline;
  for (int looks = 0; !done() && !closed_ && !stop.stop_requested(); ++looks) {
    const auto now = Clock::now();
    if (glance ? looks == kGlanceReads : now >= deadline) {
      return;
    }
    const bool flushing = outboxStart_ < outbox_.size();
    int timeout = 0;
    if (!glance) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      timeout = static_cast<int>(std::min<std::int64_t>(left.count(), kLongestPoll.count()));
    }
    lock.unlock();
    pollfd fds[3] = {{from, POLLIN, 0}, {wake_.readEnd.get(), POLLIN, 0}, {to, POLLOUT, 0}};
    int ready = ::poll(fds, flushing ? 3 : 2, timeout);
    bool ended = ready < 0 && errno != EINTR;
    if (ready > 0 && fds[1].revents != 0) {
      char drain[64];
      while (::read(wake_.readEnd.get(), drain, sizeof drain) > 0) {
      }
    }
    if (ready > 0 && fds[0].revents != 0) {
      ssize_t count = ::read(from, chunk_.get(), kChunkSize);
      // End of the child's output, a failed read or output that is not ours to take.
      if (!(count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) &&
          (count <= 0 ||
           !reading_.feed(std::string_view(chunk_.get(), static_cast<std::size_t>(count)),
                          onLine))) {
        if (count > 0 && reading_.buffered() > ChildOutput::kLineLimit) {
          keepRefused(reading_.held(), true);
        }
        ended = true;
      }
    } else if (glance && ready == 0) {
      looks = kGlanceReads - 1; // nothing more to read now
    }
    lock.lock();
    if (!ended && flushing && !closed_ && ready > 0 && fds[2].revents != 0 && !flush(lock)) {
      ended = true;
    }
    if (ended) {
      closeLocked(lock);
      lock.lock();
      return;
    }
  }
}

bool StdioSession::flush(Lock &lock) {
  (void)lock;
  std::string_view waiting = std::string_view(outbox_).substr(outboxStart_);
  std::size_t taken;
  try {
    taken = writeSome(input_.writeEnd.get(), waiting);
  } catch (const std::system_error &) {
    return false;
  }
  if (taken == 0) {
    return true;
  }
  written_ += taken;
  outboxStart_ += taken;
  if (outboxStart_ == outbox_.size()) {
    outbox_.clear();
    outboxStart_ = 0;
  }
  changed_.notify_all();
  return true;
}

bool StdioSession::take(std::string_view line, ChildMessage &message) {
  if (message.kind == ChildMessage::Kind::answer) {
    Response answer{std::string(line), message.resultOffset, message.resultLength};
    Lock lock(mutex_);
    if (auto waiting = pending_.find(message.id); waiting != pending_.end()) {
      waiting->second->answer = std::move(answer);
      waiting->second->done = true;
      pending_.erase(waiting);
      changed_.notify_all();
    }
    return !closed_;
  }
  if (message.kind == ChildMessage::Kind::refusal) {
    Lock lock(mutex_);
    try {
      return send(lock, message.refusal).has_value();
    } catch (const ConnectorError &) {
      return !closed_; // a refusal too large to send is left out; the session goes on
    }
  }
  return true;
}

void StdioSession::close() noexcept {
  Lock lock(mutex_);
  closeLocked(lock);
}

void StdioSession::closeLocked(Lock &lock) noexcept {
  if (closed_) {
    lock.unlock();
    return;
  }
  closed_ = true;
  closedAt_ = Clock::now();
  for (auto &[id, waiter] : pending_) {
    waiter->done = true;
    waiter->failed = true;
  }
  pending_.clear();
  changed_.notify_all();
  ChildProcess *process = process_.get();
  if (process != nullptr && !reader_) {
    input_.writeEnd.reset(); // the child sees end of file; a reader does this as it stops
  }
  const bool reading = reader_;
  lock.unlock();

  if (reading) {
    wakeReader();
  }
  if (process != nullptr) {
    try {
      process->terminate(options_.killGrace);
    } catch (...) {
      // Could not start the timer: the destructor still kills and reaps the child.
      process->signal(SIGKILL);
    }
  }
}

void StdioSession::wakeReader() {
  char byte = 0;
  // A full pipe already guarantees a wake-up.
  [[maybe_unused]] ssize_t ignored = ::write(wake_.writeEnd.get(), &byte, 1);
}

bool StdioSession::closed() {
  Lock lock(mutex_);
  if (!closed_ && !reader_ && process_) {
    read(lock, [] { return false; }, Clock::time_point::min(), {});
  }
  return closed_;
}

MonotonicClock::time_point StdioSession::touched() const {
  Lock lock(mutex_);
  return touched_;
}

bool StdioSession::running() const {
  Lock lock(mutex_);
  ChildProcess *process = process_.get();
  lock.unlock();
  return process != nullptr && process->running();
}

pid_t StdioSession::processId() const {
  Lock lock(mutex_);
  return process_ ? process_->pid() : 0;
}

json StdioSession::initializeAnswer() const {
  Lock lock(mutex_);
  return initializeAnswer_;
}

std::optional<StdioSession::RefusedOutput> StdioSession::refusedOutput() const {
  Lock lock(mutex_);
  return refused_;
}

std::optional<ChildProcess::Status>
StdioSession::waitForExit(std::chrono::steady_clock::time_point deadline) {
  Lock lock(mutex_);
  ChildProcess *process = process_.get();
  lock.unlock();
  if (process == nullptr || !process->waitUntil(deadline)) {
    return std::nullopt;
  }
  return process->status();
}

void StdioSession::keepRefused(std::string_view output, bool oversized) {
  Lock lock(mutex_);
  if (!refused_) {
    refused_ = RefusedOutput{std::string(output.substr(0, kRefusedOutputKept)), oversized};
  }
}

} // namespace pellum
