#include "http/HTTPHead.h"

#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Unicode.h"

#include <cstdint>
#include <limits>

namespace pellum {

namespace {

[[noreturn]] void refuse(const char *message) { throw ConnectorError(message, 400); }

bool hasControl(std::string_view value) {
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      return true;
    }
  }
  return false;
}

// All digits and at most the largest signed 64-bit value; leading zeros are fine.
bool isContentLength(std::string_view value) {
  if (value.empty()) {
    return false;
  }
  std::uint64_t number = 0;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  for (char c : value) {
    if (c < '0' || c > '9') {
      return false;
    }
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (number > (kMax - digit) / 10) {
      return false;
    }
    number = number * 10 + digit;
  }
  return true;
}

void parseRequestLine(std::string_view line, HTTPHead &head) {
  auto first = line.find(' ');
  if (first == std::string_view::npos) {
    refuse("Invalid HTTP request line.");
  }
  auto second = line.find(' ', first + 1);
  if (second == std::string_view::npos) {
    refuse("Invalid HTTP request line.");
  }
  // The version is everything after the second space, so a third space makes it differ.
  if (line.substr(second + 1) != "HTTP/1.1") {
    refuse("Invalid HTTP request line.");
  }
  head.method = line.substr(0, first);
  head.target = line.substr(first + 1, second - first - 1);
}

void parseHeaderLine(std::string_view line, HTTPHead &head) {
  auto colon = line.find(':');
  if (colon == std::string_view::npos || line.front() == ' ' || line.front() == '\t') {
    refuse("Invalid HTTP header.");
  }
  std::string name = lowerASCII(line.substr(0, colon));
  std::string_view value = trimBlanks(line.substr(colon + 1));
  if (!isHTTPToken(name) || head.headers.count(name) != 0 || hasControl(value)) {
    refuse("Invalid or duplicate HTTP header.");
  }
  head.headers.emplace(std::move(name), std::string(value));
}

void checkFraming(const HTTPHead &head) {
  auto encoding = head.headers.find("transfer-encoding");
  auto length = head.headers.find("content-length");
  if (encoding != head.headers.end()) {
    if (lowerASCII(encoding->second) != "chunked" || length != head.headers.end()) {
      refuse("Unsupported or ambiguous HTTP framing.");
    }
    return;
  }
  if (length != head.headers.end() && !isContentLength(length->second)) {
    refuse("Invalid content length.");
  }
}

} // namespace

HTTPHead HTTPHead::parse(std::string_view bytes) {
  if (!isValidUTF8(bytes)) {
    refuse("Invalid HTTP headers.");
  }
  HTTPHead head;
  bool requestLine = true;
  std::string_view rest = bytes;
  for (bool more = true; more;) {
    auto end = rest.find("\r\n");
    std::string_view line = rest.substr(0, end);
    more = end != std::string_view::npos;
    if (more) {
      rest.remove_prefix(end + 2);
    }
    if (requestLine) {
      parseRequestLine(line, head);
      requestLine = false;
    } else if (!line.empty()) {
      parseHeaderLine(line, head);
    }
  }
  if (head.headers.count("host") == 0) {
    refuse("Host header required.");
  }
  checkFraming(head);
  return head;
}

} // namespace pellum
