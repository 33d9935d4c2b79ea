#pragma once

#include <string>
#include <string_view>

namespace pellum {

// The default cloud service origin, and the earlier product's origin that loads as it.
inline constexpr std::string_view kDefaultServiceOrigin = "https://pellum.zendrel.com";
inline constexpr std::string_view kLegacyServiceOrigin = "https://kestrin.zendrel.com";

// The service URL check: returns the URL when `text` is a bare HTTPS origin (a host, an optional
// port, no user part, no path beyond "/", no query or fragment), else throws
// ConnectorError("Service URL must be an HTTPS origin.", 400). Pure; safe from any thread.
std::string endpoint(std::string_view text);

} // namespace pellum
