#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace pellum::test {

// An owned TCP socket on 127.0.0.1, for playing a raw client or server in tests. Reads wait at
// most `timeout` and throw std::runtime_error when it passes, so a broken peer fails the test
// instead of hanging it. One thread at a time per socket.
class LoopbackSocket {
public:
  static constexpr std::chrono::milliseconds kTimeout{10'000};

  explicit LoopbackSocket(int fd = -1) : fd_(fd) {}
  ~LoopbackSocket();
  LoopbackSocket(LoopbackSocket &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LoopbackSocket &operator=(LoopbackSocket &&other) noexcept;

  // Connects to 127.0.0.1:`port`; throws std::system_error on failure.
  static LoopbackSocket connect(std::uint16_t port);
  // Two connected ends: {accepted (server) side, client side}.
  static std::pair<LoopbackSocket, LoopbackSocket> pair();

  int fd() const { return fd_; }

  // Writes all bytes; false when the peer went away first. Never raises SIGPIPE.
  bool write(std::string_view bytes);
  // Up to `count` bytes: fewer only when the peer ends the stream.
  std::string read(std::size_t count, std::chrono::milliseconds timeout = kTimeout);
  // Everything until the peer ends the stream (or resets it).
  std::string readAll(std::chrono::milliseconds timeout = kTimeout);

  void shutdownWrite();
  // Closes so that the peer sees a reset instead of an orderly end.
  void reset();
  void close();

private:
  int fd_;
};

// A listening socket on 127.0.0.1 at a port chosen by the system.
class LoopbackListener {
public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener &) = delete;
  LoopbackListener &operator=(const LoopbackListener &) = delete;

  std::uint16_t port() const { return port_; }
  LoopbackSocket accept(std::chrono::milliseconds timeout = LoopbackSocket::kTimeout);

private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

} // namespace pellum::test
