#include "support/Url.h"

#include "support/Ascii.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

namespace pellum {

namespace {

constexpr unsigned kParseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS;

std::shared_ptr<void> adopt(CURLU *handle) {
  return std::shared_ptr<void>(handle, [](void *h) { curl_url_cleanup(static_cast<CURLU *>(h)); });
}

bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

bool isNameCharacter(char c) { return isUnreserved(c) || isSubDelimiter(c); }

bool isUserCharacter(char c) { return isNameCharacter(c) || c == ':'; }

bool isPathCharacter(char c) { return isNameCharacter(c) || c == ':' || c == '@' || c == '/'; }

bool isQueryCharacter(char c) { return isPathCharacter(c) || c == '?'; }

// Every byte of `text` is allowed by `allowed`, or is a "%" followed by two hexadecimal digits.
bool isEncodedText(std::string_view text, bool (*allowed)(char)) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      if (!allowed(text[i])) {
        return false;
      }
    } else if (text.size() - i < 3 || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) {
      return false;
    } else {
      i += 2;
    }
  }
  return true;
}

bool isScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) {
    return false;
  }
  for (char c : text) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

// An address in brackets: IPv6, or "v", a hexadecimal version, "." and the address.
bool isAddressLiteral(std::string_view inner) {
  if (!inner.empty() && (inner.front() == 'v' || inner.front() == 'V')) {
    std::size_t dot = inner.find('.');
    if (dot == std::string_view::npos || dot < 2 || dot + 1 == inner.size()) {
      return false;
    }
    for (char c : inner.substr(1, dot - 1)) {
      if (!isHexDigit(c)) {
        return false;
      }
    }
    for (char c : inner.substr(dot + 1)) {
      if (!isUserCharacter(c)) {
        return false;
      }
    }
    return true;
  }
  std::string address(inner);
  in6_addr parsed{};
  return ::inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

bool isAuthority(std::string_view authority) {
  if (std::size_t at = authority.find('@'); at != std::string_view::npos) {
    if (!isEncodedText(authority.substr(0, at), isUserCharacter)) {
      return false;
    }
    authority.remove_prefix(at + 1);
  }
  // A port follows the last ":" that is not inside brackets.
  std::size_t colon = authority.rfind(':');
  std::size_t bracket = authority.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    for (char c : authority.substr(colon + 1)) {
      if (!isDigit(c)) {
        return false;
      }
    }
    authority = authority.substr(0, colon);
  }
  if (authority.starts_with('[')) {
    return authority.size() >= 2 && authority.ends_with(']') &&
           isAddressLiteral(authority.substr(1, authority.size() - 2));
  }
  return isEncodedText(authority, isNameCharacter);
}

} // namespace

bool Url::isReference(std::string_view text) {
  if (std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    if (!isEncodedText(text.substr(hash + 1), isQueryCharacter)) {
      return false;
    }
    text = text.substr(0, hash);
  }
  if (std::size_t question = text.find('?'); question != std::string_view::npos) {
    if (!isEncodedText(text.substr(question + 1), isQueryCharacter)) {
      return false;
    }
    text = text.substr(0, question);
  }
  // A ":" before the first "/" ends a scheme; a relative path may not have one there.
  std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon < text.find('/')) {
    if (!isScheme(text.substr(0, colon))) {
      return false;
    }
    text.remove_prefix(colon + 1);
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    std::size_t slash = text.find('/');
    if (!isAuthority(text.substr(0, slash))) {
      return false;
    }
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  return isEncodedText(text, isPathCharacter);
}

std::optional<Url> Url::parse(std::string_view text) {
  // libcurl reads a C string: an embedded NUL would silently shorten the URL.
  if (text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  CURLU *handle = curl_url();
  if (handle == nullptr) {
    throw std::bad_alloc();
  }
  auto owned = adopt(handle);
  std::string copy(text);
  if (curl_url_set(handle, CURLUPART_URL, copy.c_str(), kParseFlags) != CURLUE_OK) {
    return std::nullopt;
  }
  return Url(std::move(owned));
}

std::optional<std::string> Url::get(int part) const {
  char *value = nullptr;
  CURLUcode code =
      curl_url_get(static_cast<CURLU *>(handle_.get()), static_cast<CURLUPart>(part), &value, 0);
  if (code != CURLUE_OK || value == nullptr) {
    curl_free(value);
    return std::nullopt;
  }
  std::string result(value);
  curl_free(value);
  return result;
}

std::optional<std::string> Url::scheme() const { return get(CURLUPART_SCHEME); }
std::optional<std::string> Url::user() const { return get(CURLUPART_USER); }
std::optional<std::string> Url::password() const { return get(CURLUPART_PASSWORD); }
std::optional<std::string> Url::host() const { return get(CURLUPART_HOST); }
std::optional<std::string> Url::port() const { return get(CURLUPART_PORT); }
std::optional<std::string> Url::path() const { return get(CURLUPART_PATH); }
std::optional<std::string> Url::query() const { return get(CURLUPART_QUERY); }
std::optional<std::string> Url::fragment() const { return get(CURLUPART_FRAGMENT); }

std::optional<std::string_view> Url::rawAuthority(std::string_view text) {
  std::size_t separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(separator + 3);
  return rest.substr(0, rest.find_first_of("/?#"));
}

std::string_view Url::rawHost(std::string_view authority) {
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
  }
  return authority.substr(0, authority.find(':'));
}

} // namespace pellum
