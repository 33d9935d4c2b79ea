#pragma once

#include "config/Environment.h"
#include "config/LocalServer.h"
#include "platform/ChildProcess.h"
#include "platform/Pipe.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace pellum {

// One MCP session with a local stdio server: a child process spoken to with newline-delimited
// JSON-RPC on its standard input and output. The session performs the initialize handshake,
// sends requests under ids of its own and matches the answers to them, and refuses requests
// from the server.
//
// A session never recovers from trouble: a time-out, a failed write, a cancelled request,
// unreadable or oversized output, or the child's exit closes it for good, fails every waiting
// request and stops the child.
//
// Safe for concurrent use from any number of threads; several requests may wait at once.
// Behind it run a reading thread, a thread consuming what was read, and a writing thread.
class StdioSession {
public:
  // The largest message either way: a line read without its line feed, a line written with it.
  static constexpr std::size_t kMessageLimit = 2097152;
  // Output chunks queued between the reading thread and the session.
  static constexpr std::size_t kQueuedChunks = 64;
  static constexpr std::string_view kClientName = "pellum-native";
  static constexpr std::string_view kClientVersion = "0.2.0";
  static constexpr std::array<std::string_view, 4> kProtocolVersions = {"2024-11-05", "2025-03-26",
                                                                        "2025-06-18", "2025-11-25"};
  // Passed to the child from the given environment when present there.
  static constexpr std::array<std::string_view, 7> kBaseVariables = {
      "HOME", "PATH", "USER", "LOGNAME", "SHELL", "TMPDIR", "LANG"};

  struct Options {
    std::chrono::milliseconds initializeTimeout{30000};
    // Time between SIGTERM and SIGKILL when the session closes.
    std::chrono::milliseconds killGrace{3000};
    // The login shell's PATH; the process-wide probe unless replaced.
    std::function<std::optional<std::string>()> shellPath;
    // Where the child's standard error goes: a descriptor for it to inherit, or -1 for the null
    // device. The caller keeps it open until initialize() has returned or thrown.
    int standardError = -1;
    // Runs the child in a process group of its own, which every stop signal then reaches.
    bool processGroup = false;
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
  // Closes the session, then waits for the child to end (at most the kill grace after close())
  // and for every thread of the session.
  ~StdioSession();
  StdioSession(const StdioSession &) = delete;
  StdioSession &operator=(const StdioSession &) = delete;

  // Launches the child and performs the handshake requesting `version`. Returns the server's
  // initialize result with "capabilities" reduced to empty "tools", "prompts" and "resources"
  // and "serverInfo" replaced by ours. A launch failure is std::system_error; a refused
  // handshake closes the session and throws ConnectorError("Local MCP initialization
  // failed.", 400); other failures are those of request(). Call once; blocks.
  nlohmann::json initialize(const std::string &version, std::stop_token stop = {});

  // Sends one request and blocks until its answer (the child's whole response object, with
  // "result" or "error"). Throws ConnectorError("Local MCP session closed.", 400) when closed
  // already. A time-out, a failed write, `stop` being requested or the session closing while
  // waiting close the session and throw ConnectorError("Local MCP operation failed or timed
  // out.", 400).
  nlohmann::json request(const std::string &method, const std::optional<nlohmann::json> &params,
                         std::chrono::milliseconds timeout, std::stop_token stop = {});

  // Fails every waiting request, closes the child's standard input, sends SIGTERM and, if the
  // child still runs after the kill grace, SIGKILL. Idempotent; never blocks on the child.
  void close() noexcept;

  const std::string &slug() const { return slug_; }
  bool closed() const;
  // The start of the latest request (creation time before any).
  std::chrono::steady_clock::time_point touched() const;
  // Whether the child has been launched and has not exited.
  bool running() const;
  // The child's process id once launched, else 0.
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
  struct Waiter {
    bool done = false;
    bool failed = false;
    nlohmann::json answer;
  };
  struct WriteJob {
    std::string bytes;
    std::function<void(std::exception_ptr)> done;
  };
  using Lock = std::unique_lock<std::mutex>;

  void start();
  void write(const nlohmann::json &message, std::function<void(std::exception_ptr)> done);
  void receive(std::string_view chunk);
  // Marks the session closed under `lock`, then releases it and stops the child.
  void closeLocked(Lock &lock) noexcept;

  void readLoop();
  void consumeLoop();
  void writeLoop();

  const std::string slug_;
  const Options options_;
  ChildProcess::Options launch_;
  Pipe input_;
  Pipe output_;
  // Becomes readable once the session closes, to wake the reading and writing threads.
  Pipe wake_;

  mutable std::mutex mutex_;
  std::condition_variable_any answered_;
  std::unique_ptr<ChildProcess> process_;
  std::map<std::int64_t, std::shared_ptr<Waiter>> pending_;
  std::int64_t sequence_ = 0;
  std::string buffer_;
  bool started_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point touched_;
  std::chrono::steady_clock::time_point closedAt_;
  nlohmann::json capabilities_ = nlohmann::json::object();
  nlohmann::json initializeAnswer_;
  std::optional<RefusedOutput> refused_;

  std::mutex chunkMutex_;
  std::condition_variable chunkReady_;
  std::deque<std::string> chunks_;
  bool chunksEnded_ = false;

  std::mutex writeMutex_;
  std::condition_variable writeReady_;
  std::deque<WriteJob> writes_;
  bool writerStopped_ = false;

  std::jthread writer_;
  std::jthread reader_;
  std::jthread consumer_;
};

} // namespace pellum
