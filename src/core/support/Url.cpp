#include "support/Url.h"

#include <curl/curl.h>

namespace pellum {

namespace {

constexpr unsigned kParseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS;

std::shared_ptr<void> adopt(CURLU *handle) {
  return std::shared_ptr<void>(handle, [](void *h) { curl_url_cleanup(static_cast<CURLU *>(h)); });
}

} // namespace

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
