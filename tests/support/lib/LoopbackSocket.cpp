#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace pellum::test {

namespace {

[[noreturn]] void fail(const char *what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw std::runtime_error("loopback socket: timed out waiting for the peer");
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) {
      return;
    }
    if (ready < 0 && errno != EINTR) {
      fail("poll");
    }
  }
}

} // namespace

LoopbackSocket::~LoopbackSocket() { close(); }

LoopbackSocket &LoopbackSocket::operator=(LoopbackSocket &&other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

LoopbackSocket LoopbackSocket::connect(std::uint16_t port) {
  LoopbackSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.fd_ < 0) {
    fail("socket");
  }
  sockaddr_in address = loopback(port);
  if (::connect(socket.fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    fail("connect");
  }
  return socket;
}

std::pair<LoopbackSocket, LoopbackSocket> LoopbackSocket::pair() {
  LoopbackListener listener;
  LoopbackSocket client = connect(listener.port());
  LoopbackSocket server = listener.accept();
  return {std::move(server), std::move(client)};
}

bool LoopbackSocket::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

std::string LoopbackSocket::read(std::size_t count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  char block[65'536];
  while (out.size() < count) {
    waitReadable(fd_, deadline);
    ssize_t got = ::recv(fd_, block, std::min(sizeof block, count - out.size()), 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    out.append(block, static_cast<std::size_t>(got));
  }
  return out;
}

std::string LoopbackSocket::readAll(std::chrono::milliseconds timeout) {
  return read(std::string::npos, timeout);
}

void LoopbackSocket::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void LoopbackSocket::reset() {
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  close();
}

void LoopbackSocket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    fail("socket");
  }
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category(), "listen");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

LoopbackSocket LoopbackListener::accept(std::chrono::milliseconds timeout) {
  waitReadable(fd_, std::chrono::steady_clock::now() + timeout);
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    fail("accept");
  }
  return LoopbackSocket(fd);
}

} // namespace pellum::test
