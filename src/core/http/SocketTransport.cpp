#include "http/SocketTransport.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pellum {

namespace {

// Poll in slices of at most this long so a far-away deadline never overflows poll's int.
constexpr std::chrono::milliseconds kLongestPoll{60'000};

[[noreturn]] void throwErrno() { throw std::system_error(errno, std::generic_category()); }

[[noreturn]] void throwCode(std::errc code) { throw std::system_error(std::make_error_code(code)); }

} // namespace

void SocketTransport::Shutdown::operator()() const noexcept { ::shutdown(fd, SHUT_RDWR); }

SocketTransport::SocketTransport(int fd, std::chrono::steady_clock::time_point deadline,
                                 std::stop_token stop)
    : fd_(fd), deadline_(deadline), stop_(std::move(stop)), onStop_(stop_, Shutdown{fd}) {}

void SocketTransport::wait(short events) const {
  for (;;) {
    if (stop_.stop_requested()) {
      throwCode(std::errc::operation_canceled);
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline_) {
      throwCode(std::errc::timed_out);
    }
    auto left =
        std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now), kLongestPoll);
    pollfd entry{fd_, events, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      throwErrno();
    }
    if (ready == 0) {
      continue;
    }
    if (entry.revents & POLLNVAL) {
      throwCode(std::errc::bad_file_descriptor);
    }
    // Readable, writable, hung up or failed: the next recv or send tells which.
    return;
  }
}

void SocketTransport::checkLive() const {
  if (stop_.stop_requested()) {
    throwCode(std::errc::operation_canceled);
  }
  if (std::chrono::steady_clock::now() >= deadline_) {
    throwCode(std::errc::timed_out);
  }
}

// Both directions try the socket first and poll only when it would block: most reads and
// writes on loopback complete at once, and a poll before each would double the system calls.
HTTPTransport::Received SocketTransport::receive(std::span<char> buffer) {
  for (;;) {
    checkLive();
    ssize_t count = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    int error = errno;
    // After a stop the socket is shut down and reads as closed: report the stop instead.
    if (stop_.stop_requested()) {
      throwCode(std::errc::operation_canceled);
    }
    if (count > 0) {
      return {static_cast<std::size_t>(count), false};
    }
    if (count == 0) {
      return {0, true};
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
      wait(POLLIN);
      continue;
    }
    if (error == EINTR) {
      continue;
    }
    throw std::system_error(error, std::generic_category());
  }
}

void SocketTransport::send(std::string_view bytes) {
  while (!bytes.empty()) {
    checkLive();
    ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    int error = errno;
    // Bytes that went out are delivered whatever happened meanwhile: a client that read the
    // whole answer and hung up at once must not turn it into a failure (the loop checks the
    // stop again before sending any rest).
    if (count >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    // After a stop the socket is shut down and the send fails: report the stop instead.
    if (stop_.stop_requested()) {
      throwCode(std::errc::operation_canceled);
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
      wait(POLLOUT);
      continue;
    }
    if (error == EINTR) {
      continue;
    }
    throw std::system_error(error, std::generic_category());
  }
}

} // namespace pellum
