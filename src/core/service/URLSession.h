#pragma once

#include "support/HeaderMap.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellum {

class HandlePool;

// An HTTP client session on libcurl. Requests run with no cookie engine, no cache and no stored
// credentials. By default it keeps nothing between requests: every request runs on a fresh easy
// handle. With `idleHandles` it keeps up to that many finished handles, and with them their open
// connections, so that the next request to the same host skips the connect; a handle whose
// transfer failed, was stopped or was abandoned is never kept. The session is an immutable value
// (copies share the kept handles), so one session may perform requests from several threads at
// once; a handle serves one request at a time.
//
// Trust: the system's trust store, with the file named by SSL_CERT_FILE (and the directory named
// by SSL_CERT_DIR) in its place when those variables are set, as OpenSSL's own tools do.
//
// Failures: a transfer that fails below HTTP throws TransportError with curl's text. Any HTTP
// answer, 3xx and 4xx/5xx included, is a response, never an error. An exception thrown by a
// caller's handler abandons the transfer and propagates unchanged.
class URLSession {
public:
  struct Options {
    // Whether redirects are followed (at most 10, never from HTTPS to plain HTTP). When false a
    // 3xx answer is the response itself, and the head reaches the caller as soon as it ends.
    bool followRedirects = true;
    // When present, an HTTPS server's certificate must be valid for this host name (and SNI
    // names it), whatever address the request's URL names; the request still goes to that
    // address, and its "Host" header names it unless the caller gives one. Must be a plain host
    // name.
    std::optional<std::string> tlsHostname;
    // Whether the proxy variables of the environment (http_proxy, https_proxy, ALL_PROXY, …)
    // apply. When false every request goes directly to its host.
    bool useProxy = false;
    // Longest wait for a connection, and longest time without any data moving, in seconds.
    double requestTimeout = 60;
    // Longest time for a whole request, answer body included, in seconds.
    double resourceTimeout = 120;
    // Finished handles kept for reuse with their connections; 0 keeps none.
    std::size_t idleHandles = 0;
    // Most bytes of an answer's body read at once, hence handed to the body handler at once;
    // 0 keeps libcurl's default (16 KiB). Each handle holds a buffer of this size.
    std::size_t receiveBuffer = 0;
  };

  struct Request {
    std::string method = "GET";
    std::string url;
    // Sent as given, after the session's own; a header given here replaces libcurl's default of
    // the same name ("Host" included). Names and values must not contain CR, LF or NUL.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
  };

  // The status and header fields of an answer. Names are lower case; repeated fields are joined
  // with ", ".
  struct Head {
    int status = 0;
    HeaderMap headers;
  };

  struct Response {
    Head head;
    std::string body;
  };

  using HeadHandler = std::function<void(const Head &)>;
  using BodyHandler = std::function<void(std::string_view)>;

  // Throws std::invalid_argument when `options.tlsHostname` is not a plain host name.
  explicit URLSession(Options options);

  const Options &options() const { return options_; }

  // Sends `request` and blocks until the answer has been read or abandoned. `onHead` is called
  // exactly once, before any body bytes, when an answer arrives (as soon as its head has ended
  // when redirects are refused); then `onBody` receives the body in pieces as they arrive
  // (decoded when the server compressed it). Either handler may
  // throw to abandon the transfer: the exception propagates. When `stop` is requested the
  // transfer is abandoned at once with a TransportError (CURLE_ABORTED_BY_CALLBACK). Throws
  // std::invalid_argument for a header containing CR, LF or NUL.
  void perform(const Request &request, const HeadHandler &onHead, const BodyHandler &onBody,
               std::stop_token stop = {}) const;

  // perform() collecting the whole answer. A body longer than `limit` bytes is abandoned at
  // byte `limit` + 1 with ConnectorError(`limitMessage`, 400).
  Response fetch(const Request &request, std::size_t limit, std::string_view limitMessage,
                 std::stop_token stop = {}) const;

private:
  Options options_;
  std::shared_ptr<HandlePool> pool_; // null when nothing is kept
};

// A session for the cloud service and for local services: no proxy whatever the environment
// says, redirects refused, and, with `tlsHostname`, HTTPS certificates checked against that
// name whatever address a request went to. Throws std::invalid_argument when `tlsHostname` is
// not a plain host name.
URLSession isolatedSession(std::optional<std::string> tlsHostname = std::nullopt,
                           double requestTimeout = 60, double resourceTimeout = 120);

} // namespace pellum
