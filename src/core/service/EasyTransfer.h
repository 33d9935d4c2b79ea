#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pellum {

// The sockets that one easy handle has open, for as long as the handle lives: libcurl closes a
// connection through the callbacks that were set when it was opened, and a kept handle keeps its
// connections from one request to the next. libcurl looks at a stop only in its progress
// callback, which runs about once a second while a transfer is idle; shutting the sockets down
// wakes its wait at once. Sockets are opened and closed through here, under the lock, so a stop
// never touches a descriptor that was closed and reused meanwhile. Once stopped, no new socket
// is opened until the next request begins. All members are safe for concurrent use.
class HandleSockets {
public:
  HandleSockets() = default;
  HandleSockets(const HandleSockets &) = delete;
  HandleSockets &operator=(const HandleSockets &) = delete;

  // Routes the handle's sockets through here for the coming request, which is not stopped yet.
  void attach(CURL *handle);

  // Shuts every open socket down and refuses new ones until the next attach().
  void stop() noexcept;

private:
  static curl_socket_t open(void *user, curlsocktype, curl_sockaddr *address);
  static int close(void *user, curl_socket_t fd);

  std::mutex mutex_;
  std::vector<int> open_;
  bool stopped_ = false;
};

// An easy handle and its sockets, which outlive the handle's clean-up: that closes the
// connections the handle still holds, through HandleSockets. Serves one request at a time.
class EasyTransfer {
public:
  // Throws std::runtime_error when libcurl cannot create a handle.
  EasyTransfer();
  ~EasyTransfer();
  EasyTransfer(const EasyTransfer &) = delete;
  EasyTransfer &operator=(const EasyTransfer &) = delete;

  CURL *handle() const { return handle_; }
  HandleSockets &sockets() { return sockets_; }

private:
  HandleSockets sockets_;
  CURL *handle_;
};

// Stops the sockets of one handle when a request's stop is requested (a std::stop_callback).
struct ShutdownSockets {
  HandleSockets *sockets;
  void operator()() const noexcept { sockets->stop(); }
};

// Finished handles with their live connections, at most `limit` of them. libcurl keeps a
// handle's connection cache across curl_easy_reset, which clears every option of the last
// request. Safe for concurrent use.
class HandlePool {
public:
  explicit HandlePool(std::size_t limit) : limit_(limit) {}

  // A kept handle, most recently used first (its connection is the likeliest to be alive), or a
  // new one.
  std::unique_ptr<EasyTransfer> take();

  // Keeps a handle whose request ended cleanly, or lets it go when enough are kept.
  void give(std::unique_ptr<EasyTransfer> easy) noexcept;

private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<EasyTransfer>> idle_;
};

// A libcurl string list (header lines, CONNECT_TO entries) that frees itself.
class CurlList {
public:
  CurlList() = default;
  // Throws std::bad_alloc when libcurl cannot copy a line.
  explicit CurlList(const std::vector<std::string> &lines);

  curl_slist *get() const { return list_.get(); }

private:
  struct Free {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, Free> list_;
};

} // namespace pellum
