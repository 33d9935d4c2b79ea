#pragma once

#include "config/LocalServer.h"
#include "http/HTTPConnection.h"
#include "http/HTTPRequest.h"
#include "platform/Environment.h"
#include "service/URLSession.h"
#include "support/HeaderMap.h"

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

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
    // Longest time for a whole exchange with the service, answer included, in seconds.
    double resourceTimeout = 120;
  };

  // `bridgePort` is never forwarded to; `environment` supplies the services' credentials.
  LocalForwarder(std::uint16_t bridgePort, Environment environment, Options options);
  LocalForwarder(std::uint16_t bridgePort, Environment environment)
      : LocalForwarder(bridgePort, std::move(environment), Options{}) {}
  LocalForwarder(const LocalForwarder &) = delete;
  LocalForwarder &operator=(const LocalForwarder &) = delete;

  // Forwards `request` to the URL of `server` exactly as configured and writes the whole answer
  // to `client`, blocking the calling thread meanwhile. Before anything is written to `client`,
  // the stop on `stop` (or invalidate()) is checked and `authorized` is asked; it returns false
  // once the lease has run out or the namespace was withdrawn.
  //
  // Failures before the head went out are answered with 502, except a withdrawn authorization,
  // thrown as ConnectorError "Device authorization expired." (400) for the owner to answer.
  // After the head every failure is thrown and the chunked body is left unterminated, so that
  // the owner closes the connection: that ConnectorError, std::system_error
  // (errc::operation_canceled) after a stop, the transport's error, or a failed write to
  // `client`. A failed write of the 502 answer is thrown too.
  void forward(const HTTPRequest &request, const LocalServer &server, HTTPConnection &client,
               std::stop_token stop, const std::function<bool()> &authorized);

  // Abandons every transfer in flight and refuses new ones (the bridge is closing). Final.
  void invalidate();

  // Sends one request of the connector's own to `server` the way forward() sends a client's:
  // `headers` (lower-case names) with the service's local headers over them, a "localhost"
  // host reached at 127.0.0.1 under its own name and, when nothing accepts the connection
  // there, at [::1]. The answer goes to the handlers as URLSession::perform() gives it. Throws
  // ConnectorError (400) for a URL it cannot send to, for the bridge's own port, and from
  // localHeaders() (a credential variable is missing); TransportError; or what a handler
  // throws. Not affected by invalidate(). Blocks; safe from any thread.
  void exchange(const LocalServer &server, const std::string &method, HeaderMap headers,
                const std::optional<std::string> &body, const URLSession::HeadHandler &onHead,
                const URLSession::BodyHandler &onBody, std::stop_token stop = {}) const;

  struct Target;

private:
  class Transfer;

  // The request for `target` with the service's local headers over `headers`. Throws
  // ConnectorError from localHeaders().
  URLSession::Request outgoingRequest(const Target &target, const LocalServer &server,
                                      const std::string &method, HeaderMap headers,
                                      const std::optional<std::string> &body) const;
  // Performs `outgoing`, retried once at [::1] when a rewritten "localhost" refuses it.
  void send(const Target &target, URLSession::Request &outgoing,
            const URLSession::HeadHandler &onHead, const URLSession::BodyHandler &onBody,
            std::stop_token stop) const;

  std::uint16_t bridgePort_;
  Environment environment_;
  URLSession http_;
  URLSession localhostHTTP_;

  std::mutex mutex_;
  bool invalidated_ = false;
  std::list<std::stop_source *> transfers_; // the stops of forward() calls now sending
};

} // namespace pellum
