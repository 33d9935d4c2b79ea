#include "http/ProxyHeaders.h"

#include "support/Ascii.h"

#include <set>
#include <string_view>

namespace pellum {

HeaderMap cleanProxyHeaders(const HeaderMap &headers) {
  std::set<std::string, std::less<>> removed = {
      "connection", "keep-alive",    "proxy-authenticate", "proxy-authorization",
      "te",         "trailer",       "transfer-encoding",  "upgrade",
      "host",       "cookie",        "set-cookie",         "authorization",
      "origin",     "content-length"};
  if (auto connection = headers.find("connection"); connection != headers.end()) {
    std::string_view rest = connection->second;
    while (!rest.empty()) {
      auto comma = rest.find(',');
      std::string_view piece = trimBlanks(rest.substr(0, comma));
      if (!piece.empty()) {
        removed.insert(lowerASCII(piece));
      }
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  HeaderMap kept;
  for (const auto &[name, value] : headers) {
    // A local service's answer is not checked by anyone before this: a name that is not a
    // token (a bare CR, a space, a colon) would be written into the head that goes to the
    // tunnel, so it goes no further, like a value with a line break.
    if (!isHTTPToken(name) || value.find_first_of("\r\n") != std::string::npos) {
      continue;
    }
    std::string lower = lowerASCII(name);
    if (removed.count(lower) != 0 || lower.starts_with("cf-") ||
        lower.starts_with("x-forwarded-")) {
      continue;
    }
    kept.emplace(name, value);
  }
  return kept;
}

} // namespace pellum
