#pragma once

#include "config/Environment.h"
#include "config/LocalServer.h"
#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"

#include <cstdint>
#include <functional>
#include <stop_token>

namespace pellum {

// Passes requests admitted by the bridge on to local "http" services on the loopback interface
// and streams their answers back to the tunnel side.
//
// Thread safety: forward() may run on many connection threads at once; invalidate() may be
// called from any thread.
class LocalForwarder {
public:
  struct Options {
    // Longest wait for a connection to the service, and longest silence, in seconds.
    double requestTimeout = 60;
  };

  // `bridgePort` is never forwarded to; `environment` supplies the services' credentials.
  LocalForwarder(std::uint16_t bridgePort, Environment environment, Options options);
  LocalForwarder(std::uint16_t bridgePort, Environment environment)
      : LocalForwarder(bridgePort, std::move(environment), Options{}) {}

  // Forwards `request` to `server` and writes the whole answer to `client`. `authorized` is
  // asked before every byte of the answer is passed on; it returns false once the lease has run
  // out or the namespace was withdrawn, which cuts the stream. A stop on `stop` cuts it too.
  // Failures before the head went out are answered; after it the stream is left unterminated and
  // the owner closes the connection. Throws only when writing an answer to `client` fails.
  void forward(const HTTPRequest &request, const LocalServer &server, HTTPConnection &client,
               std::stop_token stop, const std::function<bool()> &authorized);

  // Abandons every transfer in flight and refuses new ones (the bridge is closing).
  void invalidate();
};

} // namespace pellum
