#pragma once

#include <exception>
#include <string>

namespace pellum {

// The library's one error type: a finished English sentence shown to the user unchanged, and
// an HTTP-like status. The library's own checks use 400; a failed cloud service call carries
// the status of the service's answer (401 there means the device credential was revoked).
class ConnectorError : public std::exception {
public:
  ConnectorError(std::string message, int status) : message(std::move(message)), status(status) {}

  const char *what() const noexcept override { return message.c_str(); }

  std::string message;
  int status;
};

} // namespace pellum
