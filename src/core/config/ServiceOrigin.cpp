// The check that every cloud service origin passes.

#include "config/ServiceOrigin.h"
#include "support/ConnectorError.h"
#include "support/Url.h"

namespace pellum {

std::string endpoint(std::string_view text) {
  std::optional<Url> url = Url::parse(text);
  std::optional<std::string_view> authority = Url::rawAuthority(text);
  // Checked on the text as written: libcurl lower-cases the scheme and drops an empty "?" or
  // "#", and an "@" anywhere in the authority means a user part, even an empty one.
  bool origin = url && authority && text.starts_with("https://") && url->scheme() == "https" &&
                url->host() && !Url::rawHost(*authority).empty() &&
                authority->find('@') == std::string_view::npos && !url->user() &&
                !url->password() && text.find_first_of("?#") == std::string_view::npos;
  if (origin) {
    std::string_view path = text.substr(8 + authority->size());
    origin = path.empty() || path == "/";
  }
  if (!origin) {
    throw ConnectorError("Service URL must be an HTTPS origin.", 400);
  }
  return std::string(text);
}

} // namespace pellum
