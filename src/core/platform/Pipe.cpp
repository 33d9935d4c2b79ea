#include "platform/Pipe.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace pellum {

namespace {

[[noreturn]] void throwErrno(const char *what) {
  throw std::system_error(errno, std::generic_category(), what);
}

#ifndef __linux__
void setCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
    throwErrno("fcntl");
  }
}
#endif

int pollTimeout(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) {
    return -1;
  }
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > 60'000 ? 60'000 : static_cast<int>(left.count());
}

#ifndef F_SETNOSIGPIPE
// Linux has no per-descriptor switch: SIGPIPE from write() is aimed at the writing thread, so
// block it around the write and swallow the one the write raised.
class BrokenPipeSignalGuard {
public:
  BrokenPipeSignalGuard() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
  }
  ~BrokenPipeSignalGuard() {
    if (raised && !alreadyPending_) {
      timespec zero{};
      while (sigtimedwait(&set_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  BrokenPipeSignalGuard(const BrokenPipeSignalGuard &) = delete;
  BrokenPipeSignalGuard &operator=(const BrokenPipeSignalGuard &) = delete;

  bool raised = false;

private:
  sigset_t set_;
  sigset_t previous_;
  bool alreadyPending_ = false;
};
#endif

} // namespace

Pipe Pipe::create() {
  int fds[2];
#ifdef __linux__
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throwErrno("pipe2");
  }
  Pipe result{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
#else
  if (pipe(fds) != 0) {
    throwErrno("pipe");
  }
  Pipe result{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
  setCloseOnExec(fds[0]);
  setCloseOnExec(fds[1]);
#endif
#ifdef F_SETNOSIGPIPE
  if (fcntl(result.writeEnd.get(), F_SETNOSIGPIPE, 1) < 0) {
    throwErrno("fcntl");
  }
#endif
  return result;
}

void setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    throwErrno("fcntl");
  }
}

PipeWait waitReadable(int fd, int wakeFd,
                      std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int count = poll(fds, wakeFd >= 0 ? 2 : 1, pollTimeout(deadline));
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      throwErrno("poll");
    }
    if (wakeFd >= 0 && fds[1].revents != 0) {
      return PipeWait::woken;
    }
    if (fds[0].revents != 0) {
      return PipeWait::ready;
    }
    if (deadline && std::chrono::steady_clock::now() >= *deadline) {
      return PipeWait::timedOut;
    }
  }
}

std::size_t readSome(int fd, char *buffer, std::size_t capacity) {
  for (;;) {
    ssize_t count = ::read(fd, buffer, capacity);
    if (count >= 0) {
      return static_cast<std::size_t>(count);
    }
    if (errno != EINTR) {
      throwErrno("read");
    }
  }
}

std::size_t writeSome(int fd, std::string_view bytes) {
#ifndef F_SETNOSIGPIPE
  BrokenPipeSignalGuard guard;
#endif
  for (;;) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count >= 0) {
      return static_cast<std::size_t>(count);
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    int error = errno;
#ifndef F_SETNOSIGPIPE
    guard.raised = error == EPIPE;
#endif
    throw std::system_error(error, std::generic_category(), "write");
  }
}

bool writeAll(int fd, std::string_view bytes, int wakeFd) {
#ifndef F_SETNOSIGPIPE
  BrokenPipeSignalGuard guard;
#endif
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      int error = errno;
#ifndef F_SETNOSIGPIPE
      guard.raised = error == EPIPE;
#endif
      throw std::system_error(error, std::generic_category(), "write");
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, wakeFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
      throwErrno("poll");
    }
    if (wakeFd >= 0 && fds[1].revents != 0) {
      return false;
    }
  }
  return true;
}

} // namespace pellum
