#include "platform/FileDescriptor.h"

#include <unistd.h>

namespace pellum {

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void FileDescriptor::reset() {
  if (fd_ >= 0) {
    // Not retried on EINTR: on Linux and macOS the descriptor is gone either way.
    ::close(fd_);
    fd_ = -1;
  }
}

} // namespace pellum
