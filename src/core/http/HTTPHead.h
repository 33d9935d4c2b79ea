#pragma once

#include "support/HeaderMap.h"

#include <string>
#include <string_view>

namespace pellum {

// The parsed head of one HTTP/1.1 request.
struct HTTPHead {
  std::string method; // first word of the request line, as sent
  std::string target; // second word: path and query, not decoded
  HeaderMap headers;  // lower-case names -> values trimmed of spaces and tabs; one per name

  // Parses the request line and header lines, separated by CRLF, without the blank line that
  // ends the head. Strict: anything ambiguous is refused rather than guessed at. Throws
  // ConnectorError (status 400) with one of "Invalid HTTP headers.", "Invalid HTTP request
  // line.", "Invalid HTTP header.", "Invalid or duplicate HTTP header.", "Host header
  // required.", "Unsupported or ambiguous HTTP framing." or "Invalid content length.".
  // Safe to call from any thread.
  static HTTPHead parse(std::string_view bytes);
};

} // namespace pellum
