#pragma once

#include "http/HTTPConnection.h"
#include "support/HeaderMap.h"

#include <nlohmann/json.hpp>

#include <string_view>

namespace pellum {

// The answers that the bridge writes itself: refusals with an empty body, and failures that
// need a sentence, as {"error": sentence}.

inline const HeaderMap kJSONHeaders = {{"content-type", "application/json"}};

// A head with `status`, the given headers, no body.
inline void emptyAnswer(HTTPConnection &client, int status, const HeaderMap &headers = {}) {
  client.head(status, headers, false, 0);
}

// {"error": `sentence`} as JSON with `status`.
inline void errorAnswer(HTTPConnection &client, int status, std::string_view sentence) {
  client.respond(status, nlohmann::json{{"error", sentence}}.dump(), kJSONHeaders);
}

} // namespace pellum
