#include "bridge/LocalForwarder.h"

namespace pellum {

LocalForwarder::LocalForwarder(std::uint16_t, Environment, Options) {}

// Forwarding to local HTTP services is not available yet: refuse with an empty 502.
void LocalForwarder::forward(const HTTPRequest &, const LocalServer &, HTTPConnection &client,
                             std::stop_token, const std::function<bool()> &) {
  client.head(502, {}, false, 0);
}

void LocalForwarder::invalidate() {}

} // namespace pellum
