#pragma once

#include "http/HTTPTransport.h"

#include <chrono>
#include <stop_token>

namespace pellum {

// An accepted TCP socket as an HTTPTransport. Every wait goes through poll() with the time left
// until `deadline`, so no call blocks past it. Requesting a stop on `stop` shuts the socket down
// (both directions), which wakes a receive or send blocked in another thread.
//
// The descriptor stays owned by the caller and must outlive this object; the socket may be in
// blocking or non-blocking mode. Both operations throw std::system_error: errc::timed_out once
// the deadline has passed, errc::operation_canceled once a stop was requested, and the
// operating system's error for a failed poll, recv or send. Used by one thread at a time; the
// stop may be requested from any thread.
class SocketTransport final : public HTTPTransport {
public:
  SocketTransport(int fd, std::chrono::steady_clock::time_point deadline, std::stop_token stop);
  SocketTransport(const SocketTransport &) = delete;
  SocketTransport &operator=(const SocketTransport &) = delete;

  Received receive(std::span<char> buffer) override;
  void send(std::string_view bytes) override;

private:
  struct Shutdown {
    int fd;
    void operator()() const noexcept;
  };

  void wait(short events) const;
  // Throws when a stop was requested or the deadline has passed.
  void checkLive() const;

  int fd_;
  std::chrono::steady_clock::time_point deadline_;
  std::stop_token stop_;
  std::stop_callback<Shutdown> onStop_;
};

} // namespace pellum
