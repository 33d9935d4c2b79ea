#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace pellum {

// The byte stream under one HTTPConnection. SocketTransport is the real one; anything that can
// hand out bytes (a test script, a fuzzer's input) can stand in for it.
class HTTPTransport {
public:
  // What one receive produced: `size` bytes at the start of the caller's buffer, and whether
  // the peer has ended its side of the stream.
  struct Received {
    std::size_t size = 0;
    bool complete = false;
  };

  virtual ~HTTPTransport() = default;

  // One receive of at most `buffer.size()` bytes. Blocks until bytes arrive, the stream ends or
  // the receive fails; failures are thrown (std::system_error for the operating system's).
  virtual Received receive(std::span<char> buffer) = 0;

  // Writes every byte or throws; returns once all of them have been accepted.
  virtual void send(std::string_view bytes) = 0;
};

} // namespace pellum
