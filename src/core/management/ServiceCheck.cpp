#include "management/ServiceCheck.h"

#include "bridge/LocalForwarder.h"
#include "platform/Pipe.h"
#include "platform/TerminationSignals.h"
#include "service/TransportError.h"
#include "stdio/ExecutableFinder.h"
#include "stdio/StdioSession.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Console.h"
#include "support/Url.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

namespace pellum {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using namespace std::chrono_literals;

// The newest protocol version the connector speaks; servers answer with theirs.
constexpr std::string_view kRequestedVersion = StdioSession::kProtocolVersions.back();
// Values shorter than this are not hidden: they cannot be secrets, and hiding them would
// garble everything else.
constexpr std::size_t kShortestHidden = 4;
constexpr std::string_view kHidden = "[hidden]";
// The largest answer read from an HTTP service.
constexpr std::size_t kAnswerLimit = 2 * StdioSession::kMessageLimit;
// What is shown of names and versions that a server reports about itself.
constexpr std::size_t kLabelBytes = 100;

std::string milliseconds(Clock::duration elapsed) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) +
         " ms";
}

std::string timeoutText(std::chrono::milliseconds timeout) {
  if (timeout.count() % 1000 == 0) {
    return std::to_string(timeout.count() / 1000) + " s";
  }
  return std::to_string(timeout.count()) + " ms";
}

std::string joined(const std::vector<std::string> &words, std::string_view separator) {
  std::string text;
  for (const std::string &word : words) {
    text += (text.empty() ? "" : std::string(separator)) + word;
  }
  return text;
}

// `text` cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string_view cut(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(0, end);
}

// Turns what a service wrote into text fit for a terminal: values of the variables it was given
// replaced by "[hidden]", control characters written as \xNN.
class Shown {
public:
  void hide(const std::string &value) {
    if (value.size() >= kShortestHidden) {
      secrets_.push_back(value);
    }
  }

  // `raw` with secrets hidden, then cut to `limit` bytes, then escaped.
  std::string operator()(std::string_view raw, std::size_t limit = std::string::npos) const {
    std::string text(raw);
    for (const std::string &secret : secrets_) {
      for (std::size_t at = text.find(secret); at != std::string::npos;
           at = text.find(secret, at + kHidden.size())) {
        text.replace(at, secret.size(), kHidden);
      }
    }
    std::string escaped;
    for (char c : cut(text, limit)) {
      auto byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
        static constexpr char kDigits[] = "0123456789abcdef";
        escaped += "\\x";
        escaped += kDigits[byte >> 4];
        escaped += kDigits[byte & 0xF];
      } else {
        escaped += c;
      }
    }
    return escaped;
  }

  // A quoted excerpt of `raw`.
  std::string excerpt(std::string_view raw) const {
    return "\"" + (*this)(raw, ServiceCheck::kExcerptBytes) + "\"";
  }

private:
  std::vector<std::string> secrets_;
};

// The last lines a child writes to its standard error, read on a thread of its own from a pipe
// that the child (and whatever it starts) inherits. Keeps the last kErrorBytes bytes.
class ErrorTail {
public:
  ErrorTail() : pipe_(Pipe::create()), wake_(Pipe::create()) {
    reader_ = std::jthread([this] { readLoop(); });
  }
  ~ErrorTail() { stopReading(); }
  ErrorTail(const ErrorTail &) = delete;
  ErrorTail &operator=(const ErrorTail &) = delete;

  // The descriptor for the child to inherit as its standard error.
  int childEnd() const { return pipe_.writeEnd.get(); }

  // Waits until every writer has gone or `deadline` has passed, takes what is readable at that
  // moment, and returns the last lines (at most kErrorLines, each without its line end).
  std::vector<std::string> finish(Clock::time_point deadline) {
    pipe_.writeEnd.reset();
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, deadline, [this] { return ended_; });
    }
    stopReading();
    return lines();
  }

private:
  void stopReading() {
    if (reader_.joinable()) {
      char byte = 0;
      [[maybe_unused]] ssize_t ignored = ::write(wake_.writeEnd.get(), &byte, 1);
      reader_.join();
    }
  }

  void readLoop() {
    char chunk[4096];
    try {
      for (;;) {
        PipeWait wait = waitReadable(pipe_.readEnd.get(), wake_.readEnd.get(), std::nullopt);
        if (wait == PipeWait::woken) {
          // Told to stop: what is already in the pipe still counts.
          while (waitReadable(pipe_.readEnd.get(), -1, Clock::now()) == PipeWait::ready) {
            std::size_t count = readSome(pipe_.readEnd.get(), chunk, sizeof chunk);
            if (count == 0) {
              break;
            }
            keep({chunk, count});
          }
          break;
        }
        std::size_t count = readSome(pipe_.readEnd.get(), chunk, sizeof chunk);
        if (count == 0) {
          break;
        }
        keep({chunk, count});
      }
    } catch (...) {
      // A failed read ends the tail like end of file.
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  void keep(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    tail_.append(bytes);
    if (tail_.size() > ServiceCheck::kErrorBytes) {
      std::size_t drop = tail_.size() - ServiceCheck::kErrorBytes;
      cutMidLine_ = tail_[drop - 1] != '\n';
      tail_.erase(0, drop);
    }
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < tail_.size()) {
      std::size_t end = std::min(tail_.find('\n', start), tail_.size());
      std::string line = tail_.substr(start, end - start);
      if (line.ends_with('\r')) {
        line.pop_back();
      }
      result.push_back(std::move(line));
      start = end + 1;
    }
    // A line whose start fell off the kept bytes is left out, unless it is all there is.
    if (cutMidLine_ && result.size() > 1) {
      result.erase(result.begin());
    } else if (cutMidLine_ && !result.empty()) {
      result.front() = "…" + result.front();
    }
    if (result.size() > ServiceCheck::kErrorLines) {
      result.erase(result.begin(), result.end() - ServiceCheck::kErrorLines);
    }
    return result;
  }

  Pipe pipe_;
  Pipe wake_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
  std::string tail_;
  bool cutMidLine_ = false;
  std::jthread reader_;
};

// Names that `names` lists and `environment` lacks, in their order.
std::vector<std::string> unset(const std::vector<std::string> &names,
                               const Environment &environment) {
  std::vector<std::string> missing;
  for (const std::string &name : names) {
    if (!environment.contains(name) &&
        std::find(missing.begin(), missing.end(), name) == missing.end()) {
      missing.push_back(name);
    }
  }
  return missing;
}

std::string plural(std::size_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// "server NAME VERSION" from an initialize result, as far as the server said.
std::string serverLabel(const json &result, const Shown &shown) {
  std::string label = "server";
  auto info = result.find("serverInfo");
  if (info == result.end() || !info->is_object()) {
    return label + " (unnamed)";
  }
  for (const char *key : {"name", "version"}) {
    if (auto value = info->find(key); value != info->end() && value->is_string()) {
      label += " " + shown(value->get_ref<const std::string &>(), kLabelBytes);
    }
  }
  return label == "server" ? label + " (unnamed)" : label;
}

// Why an answer to `method` is unusable; nothing when it carries a result object.
std::optional<std::string> refusal(const json &answer, std::string_view method,
                                   const Shown &shown) {
  if (auto error = answer.find("error"); error != answer.end()) {
    std::string text = "answered " + std::string(method) + " with an error";
    if (error->is_object()) {
      if (auto message = error->find("message"); message != error->end() && message->is_string()) {
        text += ": " + shown.excerpt(message->get_ref<const std::string &>());
      }
      if (auto code = error->find("code"); code != error->end() && code->is_number_integer()) {
        text += " (code " + std::to_string(code->get<long long>()) + ")";
      }
    }
    return text;
  }
  auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) {
    return "answered " + std::string(method) + " without a result";
  }
  return std::nullopt;
}

// The protocol version of an initialize result, if it names one.
std::optional<std::string> protocolOf(const json &answer) {
  auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) {
    return std::nullopt;
  }
  auto version = result->find("protocolVersion");
  if (version == result->end() || !version->is_string()) {
    return std::nullopt;
  }
  return version->get<std::string>();
}

// The number of tools in a tools/list answer, or why there is none.
std::variant<std::size_t, std::string> toolCount(const json &answer, const Shown &shown) {
  if (std::optional<std::string> why = refusal(answer, "tools/list", shown)) {
    return *why;
  }
  auto tools = answer["result"].find("tools");
  if (tools == answer["result"].end() || !tools->is_array()) {
    return std::string("answered tools/list without a list of tools");
  }
  return tools->size();
}

std::string signalName(int number) {
  const char *name = strsignal(number);
  return std::to_string(number) + (name ? " (" + std::string(name) + ")" : "");
}

// One "data" of a server-sent event stream after another, as the bytes arrive.
class EventStream {
public:
  // Feeds bytes; calls `onData` with each event's data.
  void feed(std::string_view bytes, const std::function<void(const std::string &)> &onData) {
    buffer_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view line(buffer_.data() + start, end - start);
      if (line.ends_with('\r')) {
        line.remove_suffix(1);
      }
      if (line.empty()) {
        if (hasData_) {
          onData(data_);
        }
        data_.clear();
        hasData_ = false;
      } else if (line.starts_with("data:")) {
        line.remove_prefix(5);
        if (line.starts_with(' ')) {
          line.remove_prefix(1);
        }
        data_ += (hasData_ ? "\n" : "") + std::string(line);
        hasData_ = true;
      }
    }
    buffer_.erase(0, start);
  }

private:
  std::string buffer_;
  std::string data_;
  bool hasData_ = false;
};

// The answer with id `id` in a JSON-RPC message or batch.
std::optional<json> answerWithId(const json &message, int id) {
  if (message.is_array()) {
    for (const json &element : message) {
      if (std::optional<json> found = answerWithId(element, id)) {
        return found;
      }
    }
    return std::nullopt;
  }
  if (message.is_object() && message.contains("id") && message["id"] == id &&
      !message.contains("method")) {
    return message;
  }
  return std::nullopt;
}

// Stops its source at a deadline, or sooner when `stop` is requested.
class Deadline {
public:
  Deadline(Clock::time_point at, std::stop_token stop)
      : relay_(stop, Relay{&source_}), timer_([this, at](std::stop_token own) {
          std::mutex mutex;
          std::condition_variable_any never;
          std::unique_lock lock(mutex);
          if (!never.wait_until(lock, own, at, [] { return false; }) && !own.stop_requested()) {
            source_.request_stop();
          }
        }) {}

  std::stop_token token() const { return source_.get_token(); }

private:
  struct Relay {
    std::stop_source *source;
    void operator()() const noexcept { source->request_stop(); }
  };
  std::stop_source source_;
  std::stop_callback<Relay> relay_;
  std::jthread timer_;
};

struct Answered {};
struct TooLarge {};

// One HTTP answer of a service: its status and headers, the JSON-RPC answer sought (when one
// came), and the body as far as it was read.
struct HTTPAnswer {
  int status = 0;
  HeaderMap headers;
  std::optional<json> message;
  std::string body;
};

// Sends one JSON-RPC message (with `id` a request, else a notification) or, without one, a
// DELETE, as the forwarder sends requests to `server`.
HTTPAnswer exchange(const LocalForwarder &forwarder, const LocalServer &server,
                    const HeaderMap &headers, const std::optional<json> &message,
                    std::optional<int> id, std::stop_token stop) {
  HTTPAnswer answer;
  EventStream events;
  bool eventStream = false;
  auto onHead = [&](const URLSession::Head &head) {
    answer.status = head.status;
    answer.headers = head.headers;
    auto type = head.headers.find("content-type");
    eventStream =
        type != head.headers.end() && lowerASCII(type->second).starts_with("text/event-stream");
  };
  auto onBody = [&](std::string_view bytes) {
    if (answer.body.size() + bytes.size() > kAnswerLimit) {
      throw TooLarge{};
    }
    answer.body.append(bytes);
    if (eventStream && id && answer.status >= 200 && answer.status <= 299) {
      // The stream may stay open after the answer; it is not waited for.
      events.feed(bytes, [&](const std::string &data) {
        if (!answer.message) {
          answer.message = answerWithId(json::parse(data, nullptr, false), *id);
          if (answer.message) {
            throw Answered{};
          }
        }
      });
    }
  };
  std::optional<std::string> body;
  if (message) {
    body = message->dump();
  }
  try {
    forwarder.exchange(server, message ? "POST" : "DELETE", headers, body, onHead, onBody,
                       std::move(stop));
  } catch (const Answered &) {
  }
  if (id && !answer.message && !eventStream) {
    answer.message = answerWithId(json::parse(answer.body, nullptr, false), *id);
  }
  return answer;
}

// Where a service is reached, in words: "127.0.0.1:8080", or for "localhost" both loopback
// addresses that the forwarder tries.
std::string place(const std::string &url) {
  std::optional<Url> parsed = Url::parse(url);
  if (!parsed) {
    return url;
  }
  std::string port = parsed->port().value_or(parsed->scheme() == "https" ? "443" : "80");
  std::string host = parsed->host().value_or("");
  if (host == "localhost") {
    return "127.0.0.1:" + port + " or [::1]:" + port;
  }
  if (host.find(':') != std::string::npos && !host.starts_with('[')) {
    host = "[" + host + "]";
  }
  return host + ":" + port;
}

} // namespace

ServiceCheck::ServiceCheck(ConfigStore store) : ServiceCheck(std::move(store), Options{}) {}

ServiceCheck::ServiceCheck(ConfigStore store, Options options)
    : store_(std::move(store)), options_(std::move(options)) {}

bool ServiceCheck::run(const std::vector<std::string> &rest,
                       const std::function<void(const Result &)> &report,
                       std::stop_token stop) const {
  const DeviceConfig device = store_.load();
  std::vector<const LocalServer *> chosen;
  if (rest.empty()) {
    for (const LocalServer &server : device.servers) {
      chosen.push_back(&server);
    }
  } else {
    if (!LocalServer::isNamespace(rest.front())) {
      throw ConnectorError("Choose a valid namespace.", 400);
    }
    for (const LocalServer &server : device.servers) {
      if (server.slug == rest.front()) {
        chosen.push_back(&server);
        break;
      }
    }
    if (chosen.empty()) {
      throw ConnectorError("Local service not found.", 400);
    }
  }
  const Environment environment = store_.environment();

  bool passed = true;
  for (const LocalServer *server : chosen) {
    if (stop.stop_requested()) {
      return false;
    }
    Result result = check(*server, device, environment, stop);
    if (stop.stop_requested()) {
      return false;
    }
    passed = passed && result.ok;
    report(result);
  }
  return passed;
}

ServiceCheck::Result ServiceCheck::check(const LocalServer &server, const DeviceConfig &device,
                                         const Environment &environment,
                                         std::stop_token stop) const {
  if (server.type == "stdio") {
    return checkStdio(server, environment, stop);
  }
  if (server.type == "http") {
    return checkHTTP(server, device, environment, stop);
  }
  return {false, {"failed " + server.slug + ": the type \"" + server.type + "\" is unknown"}};
}

ServiceCheck::Result ServiceCheck::checkStdio(const LocalServer &server,
                                              const Environment &environment,
                                              std::stop_token stop) const {
  const std::string head = "failed " + server.slug + " (stdio): ";
  const std::vector<std::string> names = server.envNames.value_or(std::vector<std::string>{});
  const std::vector<std::string> missing = unset(names, environment);
  Shown shown;
  for (const std::string &name : names) {
    if (auto found = environment.find(name); found != environment.end()) {
      shown.hide(found->second);
    }
  }
  // Asked before the clock starts: the probe runs once per process and is no service's time.
  const std::optional<std::string> shell =
      options_.shellPath ? options_.shellPath() : ExecutableFinder::shellPath();

  auto failure = [&](std::string reason, std::vector<std::string> details,
                     const std::optional<std::vector<std::string>> &errors) {
    Result result{false, {head + std::move(reason)}};
    for (std::string &line : details) {
      result.lines.push_back("  " + std::move(line));
    }
    if (errors && errors->empty()) {
      result.lines.push_back("  standard error: empty");
    } else if (errors) {
      result.lines.push_back("  standard error (last " + plural(errors->size(), "line") + "):");
      for (const std::string &line : *errors) {
        result.lines.push_back("    " + shown(line));
      }
    }
    if (!missing.empty()) {
      result.lines.push_back("  not set: " + joined(missing, ", "));
    }
    return result;
  };

  std::optional<ErrorTail> tail;
  std::unique_ptr<StdioSession> session;
  try {
    tail.emplace();
    StdioSession::Options sessionOptions;
    sessionOptions.initializeTimeout = options_.timeout;
    sessionOptions.killGrace = options_.killGrace;
    sessionOptions.shellPath = [shell] { return shell; };
    sessionOptions.standardError = tail->childEnd();
    session = std::make_unique<StdioSession>(server, environment, std::move(sessionOptions));
  } catch (const ConnectorError &error) {
    const std::string command = server.command.value_or("");
    if (command.starts_with('/')) {
      return failure(error.message, {}, std::nullopt);
    }
    auto pathOrNone = [](const std::optional<std::string> &path, const char *none) {
      return path && !path->empty() ? *path : std::string(none);
    };
    std::optional<std::string> inherited;
    if (auto path = environment.find("PATH"); path != environment.end()) {
      inherited = path->second;
    }
    return failure(
        "'" + shown(command) +
            "' was not found on the connector's PATH, the login shell's PATH or the default PATH",
        {"connector's PATH: " + pathOrNone(inherited, "(not set)"),
         "login shell's PATH: " + pathOrNone(shell, "(the login shell did not give one)"),
         "default PATH: " + std::string(ExecutableFinder::kDefaultSearchPath)},
        std::nullopt);
  } catch (const std::exception &error) {
    return failure(error.what(), {}, std::nullopt);
  }

  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + options_.timeout;
  std::string stage = "initialize";
  std::optional<std::string> reason;
  std::optional<std::string> okLine;
  try {
    json result = session->initialize(std::string(kRequestedVersion), stop);
    stage = "tools/list";
    auto left = std::max(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()), 0ms);
    json tools = json::parse(session->request("tools/list", std::nullopt, left, stop).message,
                             nullptr, false);
    Clock::duration elapsed = Clock::now() - started;
    auto count = toolCount(tools, shown);
    if (auto *why = std::get_if<std::string>(&count)) {
      reason = *why;
    } else {
      json answer = session->initializeAnswer();
      okLine = "ok " + server.slug + " (stdio): " + session->executable() + ", protocol " +
               shown(result.value("protocolVersion", ""), kLabelBytes) + ", " +
               serverLabel(answer["result"], shown) + ", " +
               plural(std::get<std::size_t>(count), "tool") + ", " + milliseconds(elapsed);
    }
  } catch (const std::system_error &error) {
    if (session->processId() == 0) {
      if (server.cwd && !std::filesystem::is_directory(*server.cwd)) {
        reason = "the working directory " + shown(*server.cwd) + " does not exist";
      } else {
        reason = session->executable() + " could not be started: " + error.code().message();
      }
    }
  } catch (const ConnectorError &error) {
    if (error.message == "Local MCP initialization failed.") {
      json answer = session->initializeAnswer();
      if (std::optional<std::string> why = refusal(answer, "initialize", shown)) {
        reason = *why;
      } else if (std::optional<std::string> version = protocolOf(answer)) {
        reason = "answered initialize with protocol version " + shown.excerpt(*version) +
                 ", which the connector does not accept";
      } else {
        reason = "answered initialize without a protocol version";
      }
    }
  }
  // The rest failed as a session fails: work out from the session and the child what happened.
  if (!okLine && !reason) {
    if (stop.stop_requested()) {
      return {false, {}};
    }
    if (std::optional<StdioSession::RefusedOutput> refused = session->refusedOutput()) {
      reason = refused->oversized
                   ? "wrote a message over 2 MiB to standard output"
                   : "printed a line that is not JSON on standard output (logs belong on "
                     "standard error): " +
                         shown.excerpt(refused->start);
    } else if (Clock::now() >= deadline) {
      reason = "no answer to " + stage + " within " + timeoutText(options_.timeout);
    } else if (std::optional<ChildProcess::Status> status = session->waitForExit(deadline);
               status &&
               !(status->signaled && (status->code == SIGTERM || status->code == SIGKILL))) {
      reason = status->signaled ? "was ended by signal " + signalName(status->code)
                                : "exited with status " + std::to_string(status->code);
    } else {
      reason = "closed its standard output without answering " + stage;
    }
  }

  if (reason && session->processId() != 0) {
    *reason += ", " + milliseconds(Clock::now() - started);
  }
  session->close();
  session.reset(); // waits for the child; what is left of its group is killed with it
  if (okLine) {
    return {true, {*okLine}};
  }
  std::vector<std::string> errors = tail->finish(std::min(deadline, Clock::now() + 1s));
  return failure(*reason, {}, errors);
}

ServiceCheck::Result ServiceCheck::checkHTTP(const LocalServer &server, const DeviceConfig &device,
                                             const Environment &environment,
                                             std::stop_token stop) const {
  const std::string url = server.url.value_or("");
  Shown shown;
  std::vector<std::string> credentialNames;
  for (const auto &[header, name] :
       server.headerEnv.value_or(std::map<std::string, std::string>{})) {
    credentialNames.push_back(name);
  }
  if (server.authorizationEnv) {
    credentialNames.push_back(*server.authorizationEnv);
  }
  if (server.basicAuth) {
    credentialNames.push_back(server.basicAuth->usernameEnv);
    credentialNames.push_back(server.basicAuth->passwordEnv);
  }
  std::vector<std::string> missing = unset(credentialNames, environment);
  if (server.authorizationEnv && environment.contains(*server.authorizationEnv) &&
      environment.at(*server.authorizationEnv).empty()) {
    missing.push_back(*server.authorizationEnv);
  }
  for (const std::string &name : credentialNames) {
    if (auto found = environment.find(name); found != environment.end()) {
      shown.hide(found->second);
    }
  }

  std::string target = url;
  auto finish = [&](bool ok, std::string text, std::vector<std::string> details) {
    Result result{
        ok,
        {(ok ? "ok " : "failed ") + server.slug + " (http): " + target + ", " + std::move(text)}};
    for (std::string &line : details) {
      result.lines.push_back("  " + std::move(line));
    }
    if (!ok && !missing.empty()) {
      result.lines.push_back("  not set: " + joined(missing, ", "));
    }
    return result;
  };

  HeaderMap local;
  try {
    local = server.localHeaders(environment);
  } catch (const ConnectorError &error) {
    return finish(false, error.message, {});
  }
  std::vector<std::string> headerNames;
  for (const auto &[name, value] : local) {
    headerNames.push_back(name);
    shown.hide(value);
  }
  target += ", headers " + (headerNames.empty() ? std::string("none") : joined(headerNames, ", "));

  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + options_.timeout;
  Deadline budget(deadline, stop);
  const double seconds = std::chrono::duration<double>(options_.timeout).count();
  LocalForwarder forwarder(device.port, environment, {seconds, seconds});

  HeaderMap headers = {{"content-type", "application/json"},
                       {"accept", "application/json, text/event-stream"}};
  std::optional<std::string> sessionID;
  std::string stage = "initialize";
  int status = 0;
  // Why a step failed, and what the service said with a refusal.
  struct Failure {
    std::string reason;
    std::vector<std::string> details;
  };
  auto send = [&](const std::optional<json> &message,
                  std::optional<int> id) -> std::variant<HTTPAnswer, Failure> {
    try {
      HTTPAnswer answer = exchange(forwarder, server, headers, message, id, budget.token());
      status = answer.status;
      if (answer.status < 200 || answer.status > 299) {
        Failure failure{"HTTP " + std::to_string(answer.status) + " from " + stage, {}};
        if (answer.status >= 300 && answer.status <= 399) {
          failure.reason += ", a redirect, which the connector does not follow";
        }
        if (!answer.body.empty()) {
          failure.details.push_back("answer: " + shown.excerpt(answer.body));
        }
        return failure;
      }
      if (id && !answer.message) {
        return Failure{"HTTP " + std::to_string(answer.status) + ", but the answer to " + stage +
                           " is not JSON-RPC: " + shown.excerpt(answer.body),
                       {}};
      }
      return answer;
    } catch (const TransportError &error) {
      if (error.code == CURLE_COULDNT_CONNECT) {
        return Failure{"nothing accepts connections at " + place(url), {}};
      }
      if (error.code == CURLE_OPERATION_TIMEDOUT ||
          (error.code == CURLE_ABORTED_BY_CALLBACK && Clock::now() >= deadline)) {
        return Failure{"no answer to " + stage + " within " + timeoutText(options_.timeout), {}};
      }
      return Failure{stage + " failed: " + shown(error.what()), {}};
    } catch (const TooLarge &) {
      return Failure{"the answer to " + stage + " is larger than " +
                         std::to_string(kAnswerLimit / 1048576) + " MiB",
                     {}};
    } catch (const ConnectorError &error) {
      return Failure{error.message, {}};
    }
  };
  auto failed = [&](Failure failure) {
    return finish(false, failure.reason + ", " + milliseconds(Clock::now() - started),
                  std::move(failure.details));
  };

  std::variant<HTTPAnswer, Failure> initialize = send(
      json{{"jsonrpc", "2.0"},
           {"id", 1},
           {"method", "initialize"},
           {"params",
            {{"protocolVersion", kRequestedVersion},
             {"capabilities", json::object()},
             {"clientInfo",
              {{"name", StdioSession::kClientName}, {"version", StdioSession::kClientVersion}}}}}},
      1);
  if (stop.stop_requested()) {
    return {false, {}};
  }
  if (auto *failure = std::get_if<Failure>(&initialize)) {
    return failed(std::move(*failure));
  }
  HTTPAnswer &opened = std::get<HTTPAnswer>(initialize);
  if (std::optional<std::string> why = refusal(*opened.message, "initialize", shown)) {
    return failed({*why, {}});
  }
  std::optional<std::string> version = protocolOf(*opened.message);
  if (!version) {
    return failed({"answered initialize without a protocol version", {}});
  }
  if (auto id = opened.headers.find("mcp-session-id"); id != opened.headers.end()) {
    sessionID = id->second;
    headers["mcp-session-id"] = id->second;
  }
  headers["mcp-protocol-version"] = *version;

  auto endSession = [&] {
    // The service's session is closed as a client closes it; its answer does not matter.
    if (sessionID && !stop.stop_requested() && Clock::now() < deadline) {
      try {
        exchange(forwarder, server, headers, std::nullopt, std::nullopt, budget.token());
      } catch (...) {
      }
    }
  };

  stage = "notifications/initialized";
  std::variant<HTTPAnswer, Failure> notified =
      send(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}, std::nullopt);
  if (auto *failure = std::get_if<Failure>(&notified)) {
    endSession();
    return stop.stop_requested() ? Result{false, {}} : failed(std::move(*failure));
  }
  stage = "tools/list";
  std::variant<HTTPAnswer, Failure> listed =
      send(json{{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/list"}}, 2);
  Clock::duration elapsed = Clock::now() - started;
  endSession();
  if (stop.stop_requested()) {
    return {false, {}};
  }
  if (auto *failure = std::get_if<Failure>(&listed)) {
    return failed(std::move(*failure));
  }
  auto count = toolCount(*std::get<HTTPAnswer>(listed).message, shown);
  if (auto *why = std::get_if<std::string>(&count)) {
    return failed({*why, {}});
  }
  return finish(true,
                "HTTP " + std::to_string(status) + ", protocol " + shown(*version, kLabelBytes) +
                    ", " + serverLabel((*opened.message)["result"], shown) + ", " +
                    plural(std::get<std::size_t>(count), "tool") + ", " + milliseconds(elapsed),
                {});
}

int ServiceCheck::main(const ConfigStore &store, const std::vector<std::string> &arguments) {
  std::vector<std::string> rest(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
  try {
    // SIGINT and SIGTERM end the check in hand, with its processes, instead of the program.
    TerminationSignals signals;
    std::stop_source interrupted;
    std::jthread watcher([&signals, &interrupted](std::stop_token done) {
      std::mutex mutex;
      std::condition_variable_any idle;
      std::unique_lock lock(mutex);
      while (!done.stop_requested()) {
        if (signals.received()) {
          interrupted.request_stop();
          return;
        }
        idle.wait_for(lock, done, 100ms, [] { return false; });
      }
    });
    std::size_t checked = 0;
    bool passed = ServiceCheck(store).run(
        rest,
        [&checked](const Result &result) {
          ++checked;
          for (const std::string &line : result.lines) {
            writeLine(STDOUT_FILENO, line);
          }
        },
        interrupted.get_token());
    watcher.request_stop();
    watcher.join();
    if (interrupted.stop_requested()) {
      writeLine(STDERR_FILENO, "Check stopped before every service was checked.");
      return 1;
    }
    if (checked == 0) {
      writeLine(STDOUT_FILENO, "No local services are configured.");
    }
    return passed ? 0 : 1;
  } catch (const std::exception &error) {
    writeLine(STDERR_FILENO, error.what());
    return 1;
  }
}

} // namespace pellum
