#pragma once

#include "support/HeaderMap.h"

#include <string>

namespace pellum {

// One whole request as read by HTTPConnection::request(): the head's fields and the body
// (empty when the request has none).
struct HTTPRequest {
  std::string method;
  std::string target;
  HeaderMap headers;
  std::string body;
};

} // namespace pellum
