#pragma once

#include "config/LocalServer.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "stdio/ChildOutput.h"
#include "support/MonotonicClock.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace pellum {

// One MCP session with a local stdio server: a child process spoken to with newline-delimited
// JSON-RPC on its standard input and output. The session performs the initialize handshake,
// sends requests under ids of its own and matches the answers to them, and refuses requests
// from the server. What passes through is passed as written: params go to the child and
// answers come back with their members in their order and their numbers as spelt.
//
// A session never recovers from trouble: a time-out, a failed write, a cancelled request,
// unreadable or oversized output, too much waiting for the child to read, or the child's exit
// closes it for good, fails every waiting request and stops the child and its process group.
//
// Every wait is bounded by the waiting call's time limit and its stop token; nothing the child
// does or fails to do can hold a caller longer.
//
// Safe for concurrent use from any number of threads; several requests may wait at once. The
// session has no thread of its own: a caller writes its request itself while the child's pipe
// takes it, and one waiting caller at a time reads the child's output, hands each answer to its
// caller and writes what the pipe could not take at once. A lone request is so answered without
// any thread being woken for it. While nobody waits, the child's output stays in its pipe (the
// child blocks once that is full) until the next request or the next look at closed().
class StdioSession {
public:
  // The largest message either way: a line read without its line feed, a line written with it.
  static constexpr std::size_t kMessageLimit = ChildOutput::kLineLimit;
  // Bytes that may wait for the child to read them; more closes the session as an oversized
  // message would.
  static constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;
  static constexpr std::string_view kClientName = "pellum-native";
  static constexpr std::string_view kClientVersion = "0.2.0";
  static constexpr std::array<std::string_view, 4> kProtocolVersions = {"2024-11-05", "2025-03-26",
                                                                        "2025-06-18", "2025-11-25"};
  // Passed to the child from the given environment when present there.
  static constexpr std::array<std::string_view, 7> kBaseVariables = {
      "HOME", "PATH", "USER", "LOGNAME", "SHELL", "TMPDIR", "LANG"};

  struct Options {
    // Bounds the whole handshake, the initialized notification included.
    std::chrono::milliseconds initializeTimeout{30000};
    // Time between SIGTERM and SIGKILL when the session closes.
    std::chrono::milliseconds killGrace{3000};
    // The login shell's PATH; the process-wide probe unless replaced.
    std::function<std::optional<std::string>()> shellPath;
    // Where the child's standard error goes: a descriptor for it to inherit, or -1 for the null
    // device. The caller keeps it open until initialize() has returned or thrown.
    int standardError = -1;
    // What touched() is read from: whoever judges the session idle reads the same clock. Never
    // null; outlives the session. Time limits of requests are real time, whatever this is.
    const MonotonicClock *clock = &steadyClock();
  };

  // The child's answer to one request, as it wrote it.
  struct Response {
    // The whole JSON object, without its line feed.
    std::string message;
    std::size_t resultOffset = 0;
    // 0 when the answer has no "result".
    std::size_t resultLength = 0;

    bool hasResult() const { return resultLength != 0; }
    // The text of the "result" value; empty when there is none.
    std::string_view result() const {
      return std::string_view(message).substr(resultOffset, resultLength);
    }
  };

  // What the child wrote that made the session close: the start of the line (at most
  // kRefusedOutputKept bytes) that is not a JSON object, or of output over the message limit.
  struct RefusedOutput {
    std::string start;
    bool oversized = false;
  };
  static constexpr std::size_t kRefusedOutputKept = 1024;

  // Prepares the child of `server` (a validated "stdio" service) without launching it: its
  // environment (the base variables and the service's `envNames` taken from `environment`,
  // PATH rebuilt with the login shell's), executable, arguments and working directory (`cwd`,
  // else the home directory). A command without "/" that is not on that PATH throws
  // ConnectorError (400). May run the login-shell probe (blocks up to 10 s, once per process).
  StdioSession(const LocalServer &server, const Environment &environment);
  StdioSession(const LocalServer &server, const Environment &environment, Options options);
  // Closes the session, then waits for the child and its group to end (at most the kill grace
  // after close(), and a second more).
  ~StdioSession();
  StdioSession(const StdioSession &) = delete;
  StdioSession &operator=(const StdioSession &) = delete;

  // Launches the child and performs the handshake requesting `version`, all within the
  // initialize time-out. Returns the server's initialize result, members in its order, with
  // "capabilities" reduced to empty "tools", "prompts" and "resources" and "serverInfo"
  // replaced by ours. A launch failure is std::system_error; a refused handshake closes the
  // session and throws ConnectorError("Local MCP initialization failed.", 400); a child that
  // stops before taking the initialized notification gives ConnectorError("Local MCP process
  // stopped.", 400); other failures are those of request(). Call once; blocks.
  nlohmann::ordered_json initialize(const std::string &version, std::stop_token stop = {});

  // Sends one request (`params`, when given, is one JSON value) and blocks until its answer.
  // Throws ConnectorError("Local MCP session closed.", 400) when closed already. A time-out, a
  // failed write, `stop` being requested or the session closing while waiting close the
  // session and throw ConnectorError("Local MCP operation failed or timed out.", 400).
  Response request(std::string_view method, std::optional<std::string_view> params,
                   std::chrono::milliseconds timeout, std::stop_token stop = {});

  // Fails every waiting request, closes the child's standard input, sends SIGTERM to the
  // child's process group and, if anything of it still runs after the kill grace, SIGKILL.
  // Idempotent; never blocks on the child.
  void close() noexcept;

  const std::string &slug() const { return slug_; }
  // Whether the session has closed. While no request waits, first reads what the child wrote
  // meanwhile, so that a child that exited or wrote what ends the session is noticed here.
  bool closed();
  // The start of the latest request (creation time before any), on the session's clock.
  MonotonicClock::time_point touched() const;
  // Whether the child has been launched and has not exited.
  bool running() const;
  // The child's process id (also its process group's) once launched, else 0.
  pid_t processId() const;

  // For diagnostics; each is safe from any thread.
  // The program the child runs (a command without "/" as found on the search path).
  const std::string &executable() const { return launch_.executable; }
  // The server's answer to initialize exactly as received (null before it arrived).
  nlohmann::json initializeAnswer() const;
  // Set when the session closed because of the child's output.
  std::optional<RefusedOutput> refusedOutput() const;
  // Waits until the child has been reaped or `deadline` has passed; how it ended, if it did.
  std::optional<ChildProcess::Status> waitForExit(std::chrono::steady_clock::time_point deadline);

private:
  // Records the first output that made the session close (for diagnostics).
  void keepRefused(std::string_view output, bool oversized);

  struct Waiter {
    bool done = false;
    bool failed = false;
    Response answer;
  };
  using Lock = std::unique_lock<std::mutex>;
  using Clock = std::chrono::steady_clock;

  void start();
  // Waits under `lock` until `done()` holds, the session closes, `deadline` passes or `stop` is
  // requested; reads the child's output meanwhile unless another waiter does. True when done()
  // held.
  bool await(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
             std::stop_token stop);
  // Takes the reader's role for lead(), and hands it on after.
  void read(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
            const std::stop_token &stop);
  // Reads the child's output and writes the queue as the session's one reader, under `lock`
  // (released while waiting), until `done()` holds, the session closes, `stop` is requested or
  // `deadline` passes; a few reads without waiting when `deadline` has passed already.
  void lead(Lock &lock, const std::function<bool()> &done, Clock::time_point deadline,
            const std::stop_token &stop);
  Response requestUntil(std::string_view method, std::optional<std::string_view> params,
                        Clock::time_point deadline, std::stop_token stop);
  // Sends `bytes` (one message with its line feed) under `lock`: straight into the pipe while
  // nothing waits, the rest queued for the reader. Returns the count of bytes ever
  // queued once these are; nullopt when the child has closed its input or the queue would
  // pass its limit (the session must close). Throws ConnectorError when closed already or
  // when `bytes` is over the message limit.
  std::optional<std::uint64_t> send(Lock &lock, std::string_view bytes);
  // Writes what the pipe takes of the queue, under `lock`; false when the child is gone.
  bool flush(Lock &lock);
  // Hands one line of the child's to its waiting caller or answers it; false ends the session.
  bool take(std::string_view line, ChildMessage &message);
  // Marks the session closed under `lock`, then releases it and stops the child.
  void closeLocked(Lock &lock) noexcept;
  // Wakes the reader out of its wait.
  void wakeReader();

  const std::string slug_;
  const Options options_;
  ChildProcess::Options launch_;
  Pipe input_;
  Pipe output_;
  // Readable when the reader has something new to look at.
  Pipe wake_;

  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  std::unique_ptr<ChildProcess> process_;
  std::map<std::int64_t, std::shared_ptr<Waiter>> pending_;
  std::int64_t sequence_ = 0;
  // Bytes for the child that its pipe did not take yet, from `outboxStart_` on.
  std::string outbox_;
  std::size_t outboxStart_ = 0;
  std::uint64_t queued_ = 0;  // every byte ever sent or queued
  std::uint64_t written_ = 0; // of those, the bytes in the pipe
  bool started_ = false;
  bool closed_ = false;
  // A waiter is reading the child's output; it alone touches `reading_` and `chunk_`.
  bool reader_ = false;
  MonotonicClock::time_point touched_;
  Clock::time_point closedAt_;
  nlohmann::ordered_json capabilities_ = nlohmann::ordered_json::object();
  nlohmann::json initializeAnswer_;
  std::optional<RefusedOutput> refused_;

  // Owned by the reader.
  ChildOutput reading_;
  std::unique_ptr<char[]> chunk_;
};

} // namespace pellum
