#pragma once

#include "platform/FileDescriptor.h"

#include <cstdint>

namespace pellum {

// A non-blocking TCP listening socket on 127.0.0.1. Local address reuse is on, so a port left in
// TIME_WAIT by an earlier run binds again; port sharing is never on, so a port that another live
// listener holds fails.
//
// accept() may be called from several threads at once; each pending connection goes to one.
class TCPListener {
public:
  // The poll events that tell that the peer of an accepted socket has hung up or failed, even
  // while unread data is pending.
  static const short kHangUpEvents;

  // Binds 127.0.0.1:`port` (0 lets the system choose) and listens. Throws std::system_error
  // with the operating system's error.
  explicit TCPListener(std::uint16_t port);

  int fd() const { return socket_.get(); }
  // The port actually bound.
  std::uint16_t port() const { return port_; }

  // One pending connection as a close-on-exec socket, or -1 when none is waiting. Throws
  // std::system_error for failures other than a connection aborted before it was taken.
  int accept();

private:
  FileDescriptor socket_;
  std::uint16_t port_ = 0;
};

} // namespace pellum
