#pragma once

#include "service/URLSession.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace pellum {

// The connector's client of the cloud service API under "/connector" of a service origin.
// Holds only its session; `call` may run on several threads at once.
class ServiceAPI {
public:
  // The answer size beyond which a call is abandoned.
  static constexpr std::size_t kResponseLimit = 2 * 1024 * 1024;

  ServiceAPI() : session(isolatedSession()) {}
  explicit ServiceAPI(URLSession session) : session(std::move(session)) {}

  // Sends `method` to origin + "/connector" + `path` with "Content-Type: application/json",
  // "Authorization: Bearer <credential>" when a credential is given, and `body` serialised
  // compactly when present. Blocks until the answer has been read.
  //
  // Returns the answer when its status is 2xx: its JSON object, or {} for any other body
  // (empty, not an object, not JSON). Throws ConnectorError with the answer's status and its
  // string "error" (else "Service request failed (HTTP <status>).") for any other status;
  // ConnectorError("Service URL must be an HTTPS origin.", 400) before sending anything for a
  // bad origin; ConnectorError("Service response exceeded its size limit.", 400) as soon as the
  // answer passes 2 MiB; TransportError unchanged when the transfer fails; nlohmann::json's
  // error unchanged when `body` cannot be serialised. When `stop` is requested the transfer is
  // abandoned at once with a TransportError.
  nlohmann::json call(std::string_view origin, const std::optional<std::string> &credential,
                      std::string_view path, const std::optional<nlohmann::json> &body,
                      std::string_view method, std::stop_token stop = {}) const;

  URLSession session;
};

} // namespace pellum
