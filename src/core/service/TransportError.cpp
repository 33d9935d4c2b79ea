#include "service/TransportError.h"

#include <curl/curl.h>

namespace pellum {

bool TransportError::connectionRefused() const { return code == CURLE_COULDNT_CONNECT; }

bool TransportError::notHTTP() const {
  return code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_UNSUPPORTED_PROTOCOL;
}

} // namespace pellum
