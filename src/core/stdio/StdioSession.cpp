#include "stdio/StdioSession.h"

#include "config/ConnectorError.h"
#include "platform/User.h"
#include "stdio/ExecutableFinder.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <unistd.h>

namespace pellum {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr std::size_t kChunkSize = 65536;
// Deeper JSON than this is refused: nothing sane nests so far, and whoever serialises the
// answer later recurses once per level.
constexpr std::size_t kMaxNesting = 512;

ConnectorError failedOrTimedOut() {
  return ConnectorError("Local MCP operation failed or timed out.", 400);
}

ConnectorError processStopped() { return ConnectorError("Local MCP process stopped.", 400); }

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  // About a century: long enough to mean "never", short enough not to overflow the clock.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
  return Clock::now() + std::clamp(timeout, std::chrono::milliseconds(0), kLongest);
}

// The deepest nesting of arrays and objects in `text`, outside strings.
std::size_t nestingDepth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::optional<std::int64_t> integerId(const json &message) {
  auto id = message.find("id");
  if (id == message.end() || !id->is_number_integer()) {
    return std::nullopt;
  }
  if (id->is_number_unsigned()) {
    auto value = id->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  return id->get<std::int64_t>();
}

json clientInfo() {
  return {{"name", StdioSession::kClientName}, {"version", StdioSession::kClientVersion}};
}

} // namespace

StdioSession::StdioSession(const LocalServer &server, const Environment &environment)
    : StdioSession(server, environment, Options{}) {}

StdioSession::StdioSession(const LocalServer &server, const Environment &environment,
                           Options options)
    : slug_(server.slug), options_(std::move(options)), input_(Pipe::create()),
      output_(Pipe::create()), wake_(Pipe::create()), touched_(Clock::now()) {
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
  launch_.processGroup = options_.processGroup;
}

StdioSession::~StdioSession() {
  close();
  for (std::jthread *thread : {&writer_, &reader_, &consumer_}) {
    if (thread->joinable()) {
      thread->join();
    }
  }
  if (process_) {
    // Give the child its grace; ~ChildProcess kills and reaps whatever is left.
    process_->waitUntil(closedAt_ + options_.killGrace + std::chrono::seconds(1));
  }
}

void StdioSession::start() {
  {
    Lock lock(mutex_);
    if (closed_ || started_) {
      throw ConnectorError("Local MCP session closed.", 400);
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
  {
    Lock lock(mutex_);
    process_ = std::move(child);
    closedMeanwhile = closed_;
  }
  try {
    setNonBlocking(input_.writeEnd.get());
    writer_ = std::jthread([this] { writeLoop(); });
    reader_ = std::jthread([this] { readLoop(); });
    consumer_ = std::jthread([this] { consumeLoop(); });
  } catch (...) {
    close();
    throw;
  }
  if (closedMeanwhile) {
    process_->terminate(options_.killGrace);
  }
}

json StdioSession::initialize(const std::string &version, std::stop_token stop) {
  start();
  json params = {
      {"protocolVersion", version}, {"capabilities", json::object()}, {"clientInfo", clientInfo()}};
  json response = request("initialize", params, options_.initializeTimeout, stop);
  {
    Lock lock(mutex_);
    initializeAnswer_ = response;
  }

  auto result = response.find("result");
  bool accepted = false;
  if (result != response.end() && result->is_object()) {
    auto protocol = result->find("protocolVersion");
    accepted = protocol != result->end() && protocol->is_string() &&
               std::find(kProtocolVersions.begin(), kProtocolVersions.end(),
                         protocol->get_ref<const std::string &>()) != kProtocolVersions.end();
  }
  if (!accepted) {
    close();
    throw ConnectorError("Local MCP initialization failed.", 400);
  }

  json capabilities = json::object();
  if (auto offered = result->find("capabilities");
      offered != result->end() && offered->is_object()) {
    capabilities = *offered;
  }
  json reported = json::object();
  for (const char *name : {"tools", "prompts", "resources"}) {
    if (capabilities.contains(name)) {
      reported[name] = json::object();
    }
  }
  {
    Lock lock(mutex_);
    capabilities_ = std::move(capabilities);
  }
  (*result)["capabilities"] = std::move(reported);
  (*result)["serverInfo"] = clientInfo();

  std::promise<void> written;
  write({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}},
        [&written](std::exception_ptr error) {
          if (error) {
            written.set_exception(error);
          } else {
            written.set_value();
          }
        });
  written.get_future().get();
  return std::move(*result);
}

json StdioSession::request(const std::string &method, const std::optional<json> &params,
                           std::chrono::milliseconds timeout, std::stop_token stop) {
  auto waiter = std::make_shared<Waiter>();
  json message = {{"jsonrpc", "2.0"}, {"method", method}};
  {
    Lock lock(mutex_);
    if (closed_) {
      throw ConnectorError("Local MCP session closed.", 400);
    }
    touched_ = Clock::now();
    message["id"] = ++sequence_;
    pending_[sequence_] = waiter;
  }
  if (params) {
    message["params"] = *params;
  }
  const auto deadline = deadlineAfter(timeout);
  try {
    write(message, [this](std::exception_ptr error) {
      if (error) {
        close();
      }
    });
  } catch (...) {
    close();
  }
  {
    Lock lock(mutex_);
    if (answered_.wait_until(lock, stop, deadline, [&] { return waiter->done; })) {
      if (waiter->failed) {
        throw failedOrTimedOut();
      }
      return std::move(waiter->answer);
    }
    // Timed out or given up: the whole session goes.
    closeLocked(lock);
  }
  throw failedOrTimedOut();
}

void StdioSession::write(const json &message, std::function<void(std::exception_ptr)> done) {
  ChildProcess *process;
  {
    Lock lock(mutex_);
    process = closed_ ? nullptr : process_.get();
  }
  if (process == nullptr || !process->running()) {
    throw processStopped();
  }
  std::string bytes = message.dump();
  bytes += '\n';
  if (bytes.size() > kMessageLimit) {
    throw ConnectorError("MCP message too large.", 400);
  }
  {
    std::lock_guard lock(writeMutex_);
    if (writerStopped_) {
      throw processStopped();
    }
    writes_.push_back({std::move(bytes), std::move(done)});
  }
  writeReady_.notify_one();
}

void StdioSession::receive(std::string_view chunk) {
  std::vector<json> refusals;
  {
    Lock lock(mutex_);
    if (closed_) {
      return;
    }
    // Only the new bytes can hold a line feed: what was buffered had none.
    std::size_t scanFrom = buffer_.size();
    buffer_.append(chunk);
    std::size_t lineStart = 0;
    for (std::size_t end; (end = buffer_.find('\n', scanFrom)) != std::string::npos;) {
      std::string_view line(buffer_.data() + lineStart, end - lineStart);
      lineStart = scanFrom = end + 1;
      if (line.size() > kMessageLimit || nestingDepth(line) > kMaxNesting) {
        refused_ = {std::string(line.substr(0, kRefusedOutputKept)), line.size() > kMessageLimit};
        closeLocked(lock);
        return;
      }
      json message = json::parse(line, nullptr, false);
      if (!message.is_object()) { // also what failed to parse
        refused_ = {std::string(line.substr(0, kRefusedOutputKept)), false};
        closeLocked(lock);
        return;
      }
      if (auto method = message.find("method"); method != message.end() && method->is_string()) {
        // From the server to the client: requests are refused, notifications dropped.
        if (auto id = message.find("id"); id != message.end()) {
          refusals.push_back(
              {{"jsonrpc", "2.0"},
               {"id", *id},
               {"error",
                {{"code", -32601},
                 {"message", "Client method not supported: " + method->get<std::string>()}}}});
        }
        continue;
      }
      if (auto id = integerId(message)) {
        if (auto waiting = pending_.find(*id); waiting != pending_.end()) {
          waiting->second->answer = std::move(message);
          waiting->second->done = true;
          pending_.erase(waiting);
          answered_.notify_all();
        }
      }
    }
    buffer_.erase(0, lineStart);
    if (buffer_.size() > kMessageLimit) {
      refused_ = {buffer_.substr(0, kRefusedOutputKept), true};
      closeLocked(lock);
      return;
    }
  }
  for (const json &refusal : refusals) {
    try {
      write(refusal, nullptr);
    } catch (...) {
      // The session goes on; a broken pipe shows up as the end of the child's output anyway.
    }
  }
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
  answered_.notify_all();
  ChildProcess *process = process_.get();
  lock.unlock();

  {
    std::lock_guard writeLock(writeMutex_);
    writerStopped_ = true;
  }
  writeReady_.notify_all();
  // Wakes the reading and writing threads; the writer then closes the child's input.
  char byte = 0;
  [[maybe_unused]] ssize_t ignored = ::write(wake_.writeEnd.get(), &byte, 1);
  if (process != nullptr) {
    try {
      process->terminate(options_.killGrace);
    } catch (...) {
      // Could not start the timer: the destructor still kills and reaps the child.
      process->signal(SIGKILL);
    }
  }
}

bool StdioSession::closed() const {
  Lock lock(mutex_);
  return closed_;
}

std::chrono::steady_clock::time_point StdioSession::touched() const {
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

void StdioSession::readLoop() {
  std::string chunk;
  try {
    for (;;) {
      if (waitReadable(output_.readEnd.get(), wake_.readEnd.get(), std::nullopt) ==
          PipeWait::woken) {
        break;
      }
      chunk.resize(kChunkSize);
      chunk.resize(readSome(output_.readEnd.get(), chunk.data(), chunk.size()));
      if (chunk.empty()) {
        break;
      }
      std::lock_guard lock(chunkMutex_);
      if (chunks_.size() >= kQueuedChunks) {
        break; // a session that cannot keep up ends as at end of file
      }
      chunks_.push_back(std::move(chunk));
      chunkReady_.notify_one();
    }
  } catch (...) {
    // A failed read ends the output like end of file.
  }
  std::lock_guard lock(chunkMutex_);
  chunksEnded_ = true;
  chunkReady_.notify_one();
}

void StdioSession::consumeLoop() {
  for (;;) {
    std::string chunk;
    {
      std::unique_lock lock(chunkMutex_);
      chunkReady_.wait(lock, [this] { return !chunks_.empty() || chunksEnded_; });
      if (chunks_.empty()) {
        break;
      }
      chunk = std::move(chunks_.front());
      chunks_.pop_front();
    }
    receive(chunk);
  }
  close();
}

void StdioSession::writeLoop() {
  for (;;) {
    WriteJob job;
    {
      std::unique_lock lock(writeMutex_);
      writeReady_.wait(lock, [this] { return !writes_.empty() || writerStopped_; });
      if (writerStopped_) {
        break;
      }
      job = std::move(writes_.front());
      writes_.pop_front();
    }
    std::exception_ptr error;
    try {
      if (!writeAll(input_.writeEnd.get(), job.bytes, wake_.readEnd.get())) {
        error = std::make_exception_ptr(processStopped());
      }
    } catch (...) {
      error = std::current_exception();
    }
    if (job.done) {
      job.done(error);
    }
  }
  // The child sees end of file on its standard input.
  input_.writeEnd.reset();
  std::deque<WriteJob> abandoned;
  {
    std::lock_guard lock(writeMutex_);
    abandoned.swap(writes_);
  }
  for (WriteJob &job : abandoned) {
    if (job.done) {
      job.done(std::make_exception_ptr(processStopped()));
    }
  }
}

} // namespace pellum
