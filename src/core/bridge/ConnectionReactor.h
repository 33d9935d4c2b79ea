#pragma once

#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"
#include "platform/FileDescriptor.h"
#include "platform/Pipe.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace pellum {

class TCPListener;

// The bridge's connections: the loopback listener, one request read per connection and handed
// to the handler, each connection's time limit, and the hang-up watch over clients waiting for
// their answer. One reactor thread polls the listener, a wake-up pipe and the sockets of
// connections whose request has been read; each connection is served on a thread of its own
// (at most kMaxConnections at once), which then takes the next connection waiting to be
// accepted, or waits a while to be handed one, rather than end at once.
//
// A request is stopped (its stop token requested, its socket shut down) when its connection
// reaches its time limit, when the client resets the connection or its socket fails, or on
// cancel()/cancelAll(). A client that merely ends its stream after a complete request (it shut
// down its sending side) still gets its answer.
//
// Every operation is safe to call from any thread. One mutex guards the connection table and is
// never held while waiting on a socket or calling the handler.
class ConnectionReactor {
public:
  static constexpr std::size_t kMaxConnections = 64;

  struct Options {
    // Longest life of one connection, answer included.
    std::chrono::milliseconds connectionLimit{125'000};
    // How long a connection thread with nothing to serve waits for the next connection.
    std::chrono::milliseconds workerIdle{30'000};
  };

  // Answers one admitted request on `client`; `stop` is requested when the request is stopped.
  // Called on connection threads, several at once. What it throws is answered with 400 {"error":
  // "Invalid or interrupted local request."} while no head went out, else cuts the connection.
  using Handler =
      std::function<void(const HTTPRequest &request, HTTPConnection &client, std::stop_token stop)>;

  ConnectionReactor(Options options, Handler handler);
  // shutDown(), cancelAll() and join().
  ~ConnectionReactor();
  ConnectionReactor(const ConnectionReactor &) = delete;
  ConnectionReactor &operator=(const ConnectionReactor &) = delete;

  // Listens on 127.0.0.1 at `port` (0: the system chooses) and starts the reactor thread.
  // Returns the bound port. Throws the operating system's std::system_error. Call once, before
  // shutDown().
  std::uint16_t listen(std::uint16_t port);

  // Takes ownership of the connected socket `fd` and serves it on a thread of its own, or closes
  // it at once without a response after shutDown() or while kMaxConnections are served.
  void accept(int fd);

  // Stops the request being served on connection `id`. Unknown ids are ignored.
  void cancel(const std::string &id);
  // Stops every request being served.
  void cancelAll();

  // Refuses every connection from now on, stops the reactor thread and closes the listener.
  // Requests being served go on until they end or are stopped. Final; idempotent.
  void shutDown();
  // After shutDown(): waits for every connection thread to end. Call cancelAll() first unless
  // the requests should run to their end.
  void join();

  // Connections being served.
  std::size_t count() const;

private:
  struct Connection;
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;

  // accept() without waking the reactor; true when the connection is being served.
  bool admit(int fd);
  // Records the connection on `fd` in `requests_` and returns it; nullptr, the socket closed,
  // when it is refused. `lock`, unlocked on entry, is held on return.
  std::shared_ptr<Connection> enter(Lock &lock, int fd);
  void work(std::uint64_t worker, std::shared_ptr<Connection> connection);
  void serve(const std::shared_ptr<Connection> &connection);
  void watch(const std::string &id);
  // The watched socket of `id` reported a hang-up event: stops its request if the client reset
  // or failed, else watches it from now on only for that.
  void hungUp(const std::string &id, int fd);
  void loop(std::stop_token stop);
  void reapFinished();
  void wake();

  const Options options_;
  const Handler handler_;
  Pipe wake_;

  mutable std::mutex mutex_;
  // Shared with a connection thread while it accepts.
  std::shared_ptr<TCPListener> listener_;
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
  // When the reactor looks at the connections next, unless woken.
  Clock::time_point reactorWakesAt_ = Clock::time_point::min();
  bool refusing_ = false;

  std::jthread reactor_;
};

} // namespace pellum
