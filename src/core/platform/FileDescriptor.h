#pragma once

#include <utility>

namespace pellum {

// Owns one open file descriptor and closes it when it goes away. Move-only; not thread-safe.
class FileDescriptor {
public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor &operator=(FileDescriptor &&other) noexcept;
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor now (errors are ignored: there is nothing useful to do with them).
  void reset();

private:
  int fd_ = -1;
};

} // namespace pellum
