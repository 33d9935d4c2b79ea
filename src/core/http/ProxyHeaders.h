#pragma once

#include "support/HeaderMap.h"

namespace pellum {

// The headers of `headers` that may pass between the tunnel side and a local HTTP service:
// drops hop-by-hop, identity and tunnel headers (connection, keep-alive, proxy-authenticate,
// proxy-authorization, te, trailer, transfer-encoding, upgrade, host, cookie, set-cookie,
// authorization, origin, content-length), every header named in the "connection" value, every
// name beginning with "cf-" or "x-forwarded-" (any letter case), every name that is not an HTTP
// token, and every value holding a CR or LF. Kept entries are returned unchanged, so what is
// kept can be written into a head as it is. Never throws; safe to call from any thread.
HeaderMap cleanProxyHeaders(const HeaderMap &headers);

} // namespace pellum
