#pragma once

#include <stdexcept>
#include <string>

namespace pellum {

// A failed HTTP transfer below the level of HTTP answers: no connection, time-out, refused
// certificate, malformed URL, cancelled transfer. `what()` is curl's own description of the
// failure, shown to the user unchanged; `code` is the CURLcode, so that callers can tell, for
// instance, a refused connection (CURLE_COULDNT_CONNECT) from the rest.
class TransportError : public std::runtime_error {
public:
  TransportError(int code, const std::string &message) : std::runtime_error(message), code(code) {}

  // Nothing accepted the connection: nothing was sent, so the request may go elsewhere.
  bool connectionRefused() const;
  // The peer answered, but not in HTTP.
  bool notHTTP() const;

  int code;
};

} // namespace pellum
