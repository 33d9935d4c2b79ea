#include "bridge/ConnectionReactor.h"

#include "bridge/BridgeAnswers.h"
#include "platform/TCPListener.h"
#include "support/Encoding.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

namespace pellum {

namespace {

constexpr std::string_view kInvalidRequest = "Invalid or interrupted local request.";
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

// Whether the client of `fd` reset the connection or its socket failed. An orderly end of the
// client's stream is neither: a client may shut down its sending side and still read the answer.
bool peerFailed(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0) {
    return true;
  }
  char byte;
  ssize_t count = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

} // namespace

struct ConnectionReactor::Connection {
  std::string id;
  FileDescriptor socket;
  std::stop_source stop;
  Clock::time_point deadline;
  // When the reactor first looks whether the request has been read.
  Clock::time_point watchFrom;
  // The request has been read: the reactor watches the socket for the client hanging up.
  bool watched = false;
  // The client ended its stream: only a reset or a failure of the socket is watched for now.
  bool ended = false;
  // The reactor looked and found the request unread: watch() wakes it.
  bool wakeOnWatch = false;
  // The deadline has passed and the request was stopped.
  bool expired = false;
};

ConnectionReactor::ConnectionReactor(Options options, Handler handler)
    : options_(options), handler_(std::move(handler)), wake_(Pipe::create()) {
  setNonBlocking(wake_.readEnd.get());
  setNonBlocking(wake_.writeEnd.get());
}

ConnectionReactor::~ConnectionReactor() {
  shutDown();
  cancelAll();
  join();
}

std::uint16_t ConnectionReactor::listen(std::uint16_t port) {
  auto listener = std::make_shared<TCPListener>(port);
  std::uint16_t bound = listener->port();
  {
    Lock lock(mutex_);
    listener_ = std::move(listener);
  }
  reactor_ = std::jthread([this](std::stop_token stop) { loop(stop); });
  return bound;
}

void ConnectionReactor::accept(int fd) {
  if (admit(fd)) {
    wake(); // the reactor learns the new deadline
  }
}

std::shared_ptr<ConnectionReactor::Connection> ConnectionReactor::enter(Lock &lock, int fd) {
  FileDescriptor socket(fd);
  try {
    auto connection = std::make_shared<Connection>();
    connection->id = newUUID();
    connection->socket = std::move(socket);
    lock.lock();
    if (refusing_ || requests_.size() >= kMaxConnections) {
      return nullptr; // closed without a response
    }
    const auto now = Clock::now();
    connection->deadline = now + options_.connectionLimit;
    connection->watchFrom = now + kWatchDelay;
    requests_.emplace(connection->id, connection);
    return connection;
  } catch (...) {
    // No memory or randomness to spare: the connection is dropped unanswered.
  }
  if (!lock.owns_lock()) {
    lock.lock();
  }
  return nullptr;
}

bool ConnectionReactor::admit(int fd) {
  reapFinished();
  Lock lock(mutex_, std::defer_lock);
  std::shared_ptr<Connection> connection = enter(lock, fd);
  if (!connection) {
    return false;
  }
  try {
    // A waiting thread saves starting one. Threads never outnumber the connections being
    // served, since a thread starts only when none waits.
    if (idleWorkers_ > 0) {
      pending_.push_back(connection);
      --idleWorkers_;
      lock.unlock(); // so that the thread woken does not wait for the lock at once
      workReady_.notify_one();
    } else {
      // Started under the lock so that the thread is on record before it can finish.
      std::uint64_t worker = nextWorker_++;
      workers_.emplace(worker, std::jthread(&ConnectionReactor::work, this, worker, connection));
    }
  } catch (...) {
    requests_.erase(connection->id);
    return false; // no thread to spare: the connection is dropped unanswered
  }
  return true;
}

void ConnectionReactor::work(std::uint64_t worker, std::shared_ptr<Connection> connection) {
  for (;;) {
    serve(connection);
    const std::string id = connection->id;
    connection.reset(); // its socket closes now, not when the next connection comes
    // The reactor needs no wake-up: a watched socket, now shut down, wakes it by itself, and a
    // deadline that is gone only makes it look once more.
    Lock lock(mutex_);
    requests_.erase(id);
    // Under load the next connection is often waiting already: taking it here saves handing it
    // from the reactor to a thread, which wakes two threads instead of none.
    if (std::shared_ptr<TCPListener> listener = refusing_ ? nullptr : listener_) {
      lock.unlock();
      int fd = -1;
      try {
        fd = listener->accept();
      } catch (const std::system_error &) {
        // Out of descriptors: the reactor tries again after a pause.
      }
      listener.reset();
      if (fd >= 0) {
        connection = enter(lock, fd);
        if (connection) {
          const bool reactorLate =
              std::min(connection->watchFrom, connection->deadline) < reactorWakesAt_;
          lock.unlock();
          if (reactorLate) {
            wake(); // it learns when to look at this connection
          }
          continue;
        }
      } else {
        lock.lock();
      }
    }
    // One step from serving to waiting, so that threads never outnumber the connections.
    // Enough threads wait already: this one ends, since a waiting thread's stack stays resident.
    bool wanted = idleWorkers_ < kIdleWorkers;
    if (wanted) {
      ++idleWorkers_;
      workReady_.wait_for(lock, options_.workerIdle,
                          [this] { return !pending_.empty() || refusing_; });
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

void ConnectionReactor::serve(const std::shared_ptr<Connection> &connection) {
  std::stop_token stop = connection->stop.get_token();
  {
    HTTPConnection client(connection->socket.get(), connection->deadline, stop);
    try {
      HTTPRequest request = client.request();
      watch(connection->id);
      handler_(request, client, stop);
    } catch (...) {
      if (!client.sentHeaders()) {
        try {
          errorAnswer(client, 400, kInvalidRequest);
        } catch (...) {
          // The client is gone; there is no one left to tell.
        }
      }
    }
  }
  ::shutdown(connection->socket.get(), SHUT_RDWR);
}

void ConnectionReactor::watch(const std::string &id) {
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

void ConnectionReactor::reapFinished() {
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

void ConnectionReactor::wake() {
  char byte = 0;
  // A full pipe already guarantees a wake-up.
  [[maybe_unused]] ssize_t written = ::write(wake_.writeEnd.get(), &byte, 1);
}

void ConnectionReactor::cancel(const std::string &id) {
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

void ConnectionReactor::cancelAll() {
  std::vector<std::stop_source> stops;
  {
    Lock lock(mutex_);
    for (auto &[id, connection] : requests_) {
      stops.push_back(connection->stop);
    }
  }
  for (std::stop_source &stop : stops) {
    stop.request_stop();
  }
}

void ConnectionReactor::hungUp(const std::string &id, int fd) {
  if (peerFailed(fd)) {
    cancel(id);
    return;
  }
  Lock lock(mutex_);
  if (auto found = requests_.find(id); found != requests_.end()) {
    Connection &connection = *found->second;
    if (connection.ended) {
      connection.watched = false; // reported again, yet no failure: poll would only spin
    }
    connection.ended = true;
  }
}

void ConnectionReactor::loop(std::stop_token stop) {
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
          // Once the stream has ended, a reset or a failure still shows: poll reports both
          // whatever is asked for.
          short events = connection->ended ? 0 : TCPListener::kHangUpEvents;
          entries.push_back({connection->socket.get(), events, 0});
          watched.push_back(connection);
        }
      }
      // Connection threads that accept wake the reactor for connections due before this.
      reactorWakesAt_ = expired.empty() ? next : Clock::time_point::min();
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
      const short events = entries[i].revents;
      if ((events & (POLLERR | POLLNVAL)) != 0) {
        cancel(watched[i - 2]->id);
      } else if ((events & TCPListener::kHangUpEvents) != 0) {
        hungUp(watched[i - 2]->id, entries[i].fd);
      }
    }
  }
}

void ConnectionReactor::shutDown() {
  {
    Lock lock(mutex_);
    refusing_ = true;
    workReady_.notify_all(); // waiting connection threads end
  }
  if (reactor_.joinable()) {
    reactor_.request_stop();
    reactor_.join();
  }
  Lock lock(mutex_);
  listener_.reset();
}

void ConnectionReactor::join() {
  std::map<std::uint64_t, std::jthread> workers;
  {
    Lock lock(mutex_);
    workers.swap(workers_);
    finished_.clear();
  }
  workers.clear(); // joins every connection thread; their waits end at their stop
  Lock lock(mutex_);
  pending_.clear(); // taken by no one: the threads ended first
  requests_.clear();
}

std::size_t ConnectionReactor::count() const {
  Lock lock(mutex_);
  return requests_.size();
}

} // namespace pellum
