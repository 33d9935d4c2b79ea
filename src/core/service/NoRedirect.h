#pragma once

#include <optional>
#include <string>

namespace pellum {

// The policy that every isolated session carries: redirects are never followed (a 3xx answer is
// the response itself) and, when `tlsHostname` is present, a server's certificate must be valid
// for that host name whatever address the request went to. Immutable once built.
struct NoRedirect {
  std::optional<std::string> tlsHostname;
};

} // namespace pellum
