#include "BrowserSession.h"

#include "config/ConfigStore.h"
#include "service/CurlGlobal.h"
#include "service/TransportError.h"
#include "support/ConnectorError.h"
#include "support/Files.h"
#include "support/Url.h"

#include <curl/curl.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace pellum {

namespace {

constexpr std::size_t kBodyLimit = 16 * 1024 * 1024;
constexpr std::string_view kCookieHeader = "# Netscape HTTP Cookie File\n";

struct Transfer {
  std::string body;
  bool tooLarge = false;
  std::stop_token stop;
};

std::size_t collect(char *data, std::size_t size, std::size_t count, void *user) {
  auto *transfer = static_cast<Transfer *>(user);
  if (transfer->body.size() + size * count > kBodyLimit) {
    transfer->tooLarge = true;
    return 0;
  }
  transfer->body.append(data, size * count);
  return size * count;
}

int progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer *>(user)->stop.stop_requested() ? 1 : 0;
}

const char *nonEmptyVariable(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The truthiness of a JSON value as a script sees it.
bool truthy(const nlohmann::json &value) {
  switch (value.type()) {
  case nlohmann::json::value_t::null:
  case nlohmann::json::value_t::discarded:
    return false;
  case nlohmann::json::value_t::boolean:
    return value.get<bool>();
  case nlohmann::json::value_t::string:
    return !value.get_ref<const std::string &>().empty();
  case nlohmann::json::value_t::number_integer:
  case nlohmann::json::value_t::number_unsigned:
  case nlohmann::json::value_t::number_float:
    return value.get<double>() != 0;
  default:
    return true;
  }
}

} // namespace

BrowserSession::BrowserSession(std::filesystem::path cookieFile, double timeout)
    : cookieFile_(std::move(cookieFile)), timeout_(timeout) {}

std::optional<std::string> BrowserSession::resolve(const std::string &base,
                                                   const std::string &reference) {
  // An absolute reference stands as written (libcurl would add a path to "pellum://signin?…").
  std::size_t colon = reference.find(':');
  if (colon != std::string::npos && colon > 0 &&
      std::isalpha(static_cast<unsigned char>(reference[0])) &&
      std::all_of(reference.begin(), reference.begin() + colon, [](unsigned char c) {
        return std::isalnum(c) || c == '+' || c == '-' || c == '.';
      })) {
    return reference;
  }
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  // Any scheme: a page may redirect to an address that only another program opens.
  constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), kFlags) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), kFlags) != CURLUE_OK) {
    return std::nullopt;
  }
  char *text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::string result(text);
  curl_free(text);
  return result;
}

bool BrowserSession::sameOrigin(const std::string &a, const std::string &b) {
  std::optional<Url> first = Url::parse(a);
  std::optional<Url> second = Url::parse(b);
  return first && second && first->scheme() == second->scheme() &&
         first->host() == second->host() && first->port() == second->port();
}

std::optional<std::string> BrowserSession::currentURL() const {
  std::lock_guard lock(mutex_);
  return currentURL_;
}

void BrowserSession::setCurrentURL(std::optional<std::string> url) {
  std::lock_guard lock(mutex_);
  currentURL_ = std::move(url);
}

std::vector<std::string> BrowserSession::cookies() const {
  std::lock_guard lock(mutex_);
  return cookies_;
}

void BrowserSession::loadCookies() {
  std::lock_guard fileLock(fileMutex_);
  if (std::lock_guard lock(mutex_); loaded_) {
    return;
  }
  std::string text;
  try {
    text = readFile(cookieFile_, kBodyLimit);
  } catch (const std::exception &) {
    // No file yet, or an unreadable one that the next answer replaces.
  }
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    // "#HttpOnly_" marks a cookie line, not a comment.
    if (!line.empty() && (line[0] != '#' || line.starts_with("#HttpOnly_"))) {
      lines.push_back(line);
    }
  }
  std::lock_guard lock(mutex_);
  loaded_ = true;
  cookies_ = std::move(lines);
}

void BrowserSession::storeCookies(const std::vector<std::string> &lines) {
  {
    std::lock_guard lock(mutex_);
    if (lines == cookies_) {
      return;
    }
    cookies_ = lines;
  }
  // The file gets the jar as it is when its turn comes, so the last write holds the latest jar.
  std::lock_guard fileLock(fileMutex_);
  std::string text(kCookieHeader);
  for (const std::string &line : cookies()) {
    text += line + "\n";
  }
  std::filesystem::create_directories(cookieFile_.parent_path());
  ::chmod(cookieFile_.parent_path().c_str(), 0700);
  privateWrite(text, cookieFile_);
}

BrowserSession::Hop BrowserSession::perform(const Request &request, std::stop_token stop) {
  curlGlobalInit();
  for (const auto &[name, value] : request.headers) {
    if (hasLineBreak(name) || hasLineBreak(value)) {
      throw std::invalid_argument("A header contains a line break.");
    }
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
  if (!handle) {
    throw TransportError(CURLE_FAILED_INIT, "Cannot start a transfer.");
  }
  CURL *h = handle.get();
  Transfer transfer{{}, false, stop};
  loadCookies();
  std::vector<std::string> jar = cookies();
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ * 1000));
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  if (const char *file = nonEmptyVariable("SSL_CERT_FILE")) {
    curl_easy_setopt(h, CURLOPT_CAINFO, file);
  }
  if (const char *directory = nonEmptyVariable("SSL_CERT_DIR")) {
    curl_easy_setopt(h, CURLOPT_CAPATH, directory);
  }
  // The cookie engine starts from the session's jar alone; no file of curl's own is read.
  curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
  for (const std::string &line : jar) {
    curl_easy_setopt(h, CURLOPT_COOKIELIST, line.c_str());
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
  if (request.body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
  }
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
  for (const auto &[name, value] : request.headers) {
    std::string line = name + ": " + value;
    headers.reset(curl_slist_append(headers.release(), line.c_str()));
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);

  CURLcode result = curl_easy_perform(h);
  if (transfer.tooLarge) {
    throw TransportError(CURLE_WRITE_ERROR, "The page is too large.");
  }
  if (result != CURLE_OK) {
    throw TransportError(result, error[0] != '\0' ? error : curl_easy_strerror(result));
  }
  Hop hop;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  hop.status = static_cast<int>(status);
  hop.url = request.url;
  hop.body = std::move(transfer.body);
  curl_header *location = nullptr;
  if (status >= 300 && status < 400 &&
      curl_easy_header(h, "location", 0, CURLH_HEADER, -1, &location) == CURLHE_OK) {
    hop.location = resolve(request.url, location->value);
  }
  curl_slist *list = nullptr;
  std::vector<std::string> lines;
  if (curl_easy_getinfo(h, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
    for (curl_slist *item = list; item != nullptr; item = item->next) {
      lines.emplace_back(item->data);
    }
    curl_slist_free_all(list);
  }
  storeCookies(lines);
  return hop;
}

void BrowserSession::removeAllWebsiteData() {
  std::lock_guard fileLock(fileMutex_);
  {
    std::lock_guard lock(mutex_);
    loaded_ = true;
    cookies_.clear();
    currentURL_.reset();
  }
  std::error_code error;
  std::filesystem::remove(cookieFile_, error);
  if (error) {
    throw std::system_error(error, cookieFile_.string());
  }
}

nlohmann::json BrowserSession::api(const std::string &origin, const std::string &path,
                                   const std::optional<nlohmann::json> &body) {
  std::optional<std::string> page = currentURL();
  if (!page || !sameOrigin(*page, origin)) {
    throw ConnectorError("Sign-in must complete before setup can continue.", 400);
  }
  std::optional<Url> pageURL = Url::parse(*page);
  // A page's fetch of a path goes to the page's own origin.
  std::string base = pageURL->scheme().value_or("") + "://" + pageURL->host().value_or("");
  if (std::optional<std::string> port = Url::parse(*page)->port()) {
    base += ":" + *port;
  }
  Request request;
  request.method = body ? "POST" : "GET";
  request.url = base + "/api" + path;
  request.headers = {{"Content-Type", "application/json"}};
  if (body) {
    request.headers.emplace_back("Origin", base);
    request.body = body->dump();
  }
  Hop hop = perform(request);
  nlohmann::json data = nlohmann::json::parse(hop.body);
  if (hop.status < 200 || hop.status > 299) {
    if (!data.is_object()) {
      if (data.is_null()) {
        throw std::runtime_error("The setup answer is null.");
      }
      throw ConnectorError("Setup request failed", hop.status);
    }
    nlohmann::json reason = data.value("error", nlohmann::json());
    if (!truthy(reason)) {
      reason = data.value("message", nlohmann::json());
    }
    if (!truthy(reason)) {
      throw ConnectorError("Setup request failed", hop.status);
    }
    if (!reason.is_string()) {
      return {{"setupError", reason}, {"setupStatus", hop.status}};
    }
    throw ConnectorError(reason.get<std::string>(), hop.status);
  }
  if (!data.is_object()) {
    throw ConnectorError("Invalid setup response.", 400);
  }
  if (data.contains("setupError") && data["setupError"].is_string()) {
    const nlohmann::json &status = data.value("setupStatus", nlohmann::json());
    throw ConnectorError(data["setupError"].get<std::string>(),
                         status.is_number_integer() ? status.get<int>() : 400);
  }
  return data;
}

} // namespace pellum
