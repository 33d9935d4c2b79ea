#include "service/URLSession.h"

#include "service/CurlGlobal.h"
#include "service/EasyTransfer.h"
#include "service/TransportError.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

namespace pellum {

namespace {

struct URLDeleter {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
using URLHandle = std::unique_ptr<CURLU, URLDeleter>;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && lowerASCII(a) == lowerASCII(b);
}

std::string_view trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool isFieldValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isHostName(std::string_view text) {
  if (text.empty() || text.size() > 253 || text.front() == '-' || text.front() == '.') {
    return false;
  }
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
  });
}

[[noreturn]] void throwMalformedURL() {
  throw TransportError(CURLE_URL_MALFORMAT, curl_easy_strerror(CURLE_URL_MALFORMAT));
}

std::string urlPart(CURLU *url, CURLUPart part, unsigned flags = 0) {
  char *text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK) {
    throwMalformedURL();
  }
  std::string result(text);
  curl_free(text);
  return result;
}

// Where a request for an HTTPS URL goes when its certificate must be valid for another name.
struct PinnedTarget {
  std::string url;       // the URL with the pinned name as its host
  std::string connectTo; // the CONNECT_TO entry that sends the socket to the original host
  std::string host;      // the original authority, for the "Host" header
};

// For an HTTPS URL, puts `hostName` in place of the URL's host and sends the connection to the
// original host and port: curl then checks the certificate (and sends SNI) for `hostName` while
// the socket goes where the caller asked. Other URLs are left alone (nullopt).
std::optional<PinnedTarget> pinHost(const std::string &target, const std::string &hostName) {
  URLHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, target.c_str(), 0) != CURLUE_OK) {
    throwMalformedURL();
  }
  if (lowerASCII(urlPart(url.get(), CURLUPART_SCHEME)) != "https") {
    return std::nullopt;
  }
  std::string host = urlPart(url.get(), CURLUPART_HOST);
  std::string port = urlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  char *explicitPort = nullptr;
  bool hasPort = curl_url_get(url.get(), CURLUPART_PORT, &explicitPort, 0) == CURLUE_OK;
  curl_free(explicitPort);
  if (curl_url_set(url.get(), CURLUPART_HOST, hostName.c_str(), 0) != CURLUE_OK) {
    throwMalformedURL();
  }
  return PinnedTarget{urlPart(url.get(), CURLUPART_URL),
                      hostName + ":" + port + ":" + host + ":" + port,
                      hasPort ? host + ":" + port : host};
}

// One request as libcurl is to send it: where to, with which header lines.
struct Outgoing {
  std::string url;
  CurlList headers;
  CurlList connectTo; // empty unless the certificate name is pinned
};

// Checks the caller's request and turns it into what libcurl sends. Throws
// std::invalid_argument for a method or header that could end a line or a field early, and
// TransportError for a URL that a pinned name cannot be put into.
Outgoing prepareRequest(const URLSession::Request &request,
                        const std::optional<std::string> &tlsHostname) {
  if (!isHTTPToken(request.method)) {
    throw std::invalid_argument("Invalid HTTP method.");
  }
  bool hasContentType = false;
  bool hasExpect = false;
  bool hasHost = false;
  for (const auto &[name, value] : request.headers) {
    if (!isHTTPToken(name) || !isFieldValue(value)) {
      throw std::invalid_argument("Invalid HTTP header field.");
    }
    hasContentType = hasContentType || equalsIgnoringCase(name, "content-type");
    hasExpect = hasExpect || equalsIgnoringCase(name, "expect");
    hasHost = hasHost || equalsIgnoringCase(name, "host");
  }

  Outgoing outgoing;
  outgoing.url = request.url;
  std::optional<PinnedTarget> pinned;
  if (tlsHostname) {
    pinned = pinHost(request.url, *tlsHostname);
  }
  if (pinned) {
    outgoing.url = pinned->url;
    outgoing.connectTo = CurlList({pinned->connectTo});
  }

  // libcurl's own additions that the caller did not ask for: "Expect: 100-continue" would stall
  // large bodies, and a form content type would mislabel a body sent without one.
  std::vector<std::string> lines;
  if (!hasExpect) {
    lines.emplace_back("Expect:");
  }
  if (request.body && !hasContentType) {
    lines.emplace_back("Content-Type:");
  }
  // The server sees the host that the caller asked for, not the name its certificate is
  // checked against.
  if (pinned && !hasHost) {
    lines.push_back("Host: " + pinned->host);
  }
  for (const auto &[name, value] : request.headers) {
    // "Name;" is libcurl's way of sending a header whose value is empty.
    lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  outgoing.headers = CurlList(lines);
  return outgoing;
}

// State shared with libcurl's callbacks during one perform().
struct Transfer {
  CURL *handle = nullptr;
  const URLSession::HeadHandler *onHead = nullptr;
  const URLSession::BodyHandler *onBody = nullptr;
  std::stop_token stop;
  HeaderMap fields;
  bool headDelivered = false;
  // Whether the head may go out as soon as its fields end. Only when redirects are refused is
  // every final status the answer itself; otherwise a 3xx may still be followed.
  bool headAtBlankLine = false;
  // A handler's exception, kept until libcurl has unwound and rethrown from perform().
  std::exception_ptr failure;
  // libcurl's own description of a failure.
  char errorText[CURL_ERROR_SIZE] = {0};

  void deliverHead() {
    headDelivered = true;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    URLSession::Head head{static_cast<int>(status), std::move(fields)};
    fields.clear();
    (*onHead)(head);
  }
};

size_t onHeaderLine(char *data, size_t size, size_t count, void *user) {
  auto *transfer = static_cast<Transfer *>(user);
  std::string_view line(data, size * count);
  if (transfer->headDelivered) {
    return size * count; // trailers
  }
  // The end of a head. A service that streams may say nothing for a long time after it, and
  // its caller should not wait for the first body byte to learn the status.
  if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
    if (transfer->headAtBlankLine && status >= 200) {
      try {
        transfer->deliverHead();
      } catch (...) {
        transfer->failure = std::current_exception();
        return 0; // any other count makes libcurl abandon the transfer
      }
    }
    return size * count;
  }
  // Every status line starts a new header block: interim 1xx answers, followed redirects and
  // proxy CONNECT answers leave only the final answer's fields.
  if (line.starts_with("HTTP/")) {
    transfer->fields.clear();
    return size * count;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos) {
    return size * count;
  }
  std::string name = lowerASCII(trim(line.substr(0, colon)));
  std::string_view value = trim(line.substr(colon + 1));
  auto [entry, inserted] = transfer->fields.try_emplace(name, value);
  if (!inserted) {
    entry->second.append(", ").append(value);
  }
  return size * count;
}

size_t onBodyBytes(char *data, size_t size, size_t count, void *user) {
  auto *transfer = static_cast<Transfer *>(user);
  try {
    if (!transfer->headDelivered) {
      transfer->deliverHead();
    }
    (*transfer->onBody)(std::string_view(data, size * count));
    return size * count;
  } catch (...) {
    transfer->failure = std::current_exception();
    return 0; // any other count makes libcurl abandon the transfer
  }
}

int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *transfer = static_cast<Transfer *>(user);
  return transfer->stop.stop_requested() ? 1 : 0;
}

long milliseconds(double seconds) {
  return static_cast<long>(std::max(1.0, std::ceil(seconds * 1000)));
}

const char *nonEmptyVariable(const char *name) {
  const char *value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

// The session-wide settings: time limits, trust store, proxy and redirect policy.
void applyOptions(CURL *h, const URLSession::Options &options, std::string_view url) {
  // Idle limit: no connection within requestTimeout, or less than one byte per second over
  // requestTimeout, ends the transfer; resourceTimeout bounds it as a whole.
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(options.requestTimeout));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(std::ceil(options.requestTimeout))));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, milliseconds(options.resourceTimeout));
  if (options.receiveBuffer > 0) {
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(options.receiveBuffer));
  }

  // libcurl reads no trust store variables itself; OpenSSL's tools honour these two.
  if (const char *file = nonEmptyVariable("SSL_CERT_FILE")) {
    curl_easy_setopt(h, CURLOPT_CAINFO, file);
  }
  if (const char *directory = nonEmptyVariable("SSL_CERT_DIR")) {
    curl_easy_setopt(h, CURLOPT_CAPATH, directory);
  }

  if (!options.useProxy) {
    // An empty proxy overrides every proxy variable of the environment.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  }
  if (!options.followRedirects) {
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  } else {
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    // A redirect never leaves HTTPS once a request started there: what a download fetches over
    // HTTPS (release metadata with the expected digests) must not come from a plain connection.
    bool secure = url.size() >= 8 && curl_strnequal(url.data(), "https://", 8);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  }
}

// The settings of this one request: where it goes, what it sends, and the callbacks that carry
// its answer to `transfer`.
void applyRequest(CURL *h, const URLSession::Request &request, const Outgoing &outgoing,
                  Transfer &transfer) {
  curl_easy_setopt(h, CURLOPT_URL, outgoing.url.c_str());
  if (outgoing.connectTo.get() != nullptr) {
    curl_easy_setopt(h, CURLOPT_CONNECT_TO, outgoing.connectTo.get());
  }
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, transfer.errorText);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, outgoing.headers.get());
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  // A proxy's answer to CONNECT is not the answer of the request.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBodyBytes);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (transfer.stop.stop_possible()) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET" || request.body) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data());
  }
}

// Runs the transfer and turns its outcome into the caller's: a handler's exception, a stop or a
// transport failure is thrown; otherwise the head has reached the caller when this returns.
void runTransfer(CURL *h, Transfer &transfer) {
  CURLcode code = curl_easy_perform(h);
  if (transfer.failure) {
    std::rethrow_exception(transfer.failure);
  }
  // A stop shuts the sockets down, which can look like the end of a body that runs until the
  // connection closes: a stopped transfer never counts as complete.
  if (transfer.stop.stop_requested()) {
    throw TransportError(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  }
  if (code != CURLE_OK) {
    std::string message(transfer.errorText);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    throw TransportError(code, message.empty() ? curl_easy_strerror(code) : message);
  }
  if (!transfer.headDelivered) {
    transfer.deliverHead();
  }
}

} // namespace

URLSession::URLSession(Options options) : options_(std::move(options)) {
  if (options_.tlsHostname && !isHostName(*options_.tlsHostname)) {
    throw std::invalid_argument("Invalid TLS host name.");
  }
  if (options_.idleHandles > 0) {
    pool_ = std::make_shared<HandlePool>(options_.idleHandles);
  }
}

void URLSession::perform(const Request &request, const HeadHandler &onHead,
                         const BodyHandler &onBody, std::stop_token stop) const {
  curlGlobalInit();
  const Outgoing outgoing = prepareRequest(request, options_.tlsHostname);

  std::unique_ptr<EasyTransfer> easy = pool_ ? pool_->take() : std::make_unique<EasyTransfer>();
  CURL *h = easy->handle();
  easy->sockets().attach(h);
  // Ends before the handle goes back to the pool, so that a late stop touches no other request.
  std::optional<std::stop_callback<ShutdownSockets>> onStop;
  onStop.emplace(stop, ShutdownSockets{&easy->sockets()});

  Transfer transfer;
  transfer.handle = h;
  transfer.onHead = &onHead;
  transfer.onBody = &onBody;
  transfer.stop = stop;
  transfer.headAtBlankLine = !options_.followRedirects;
  applyRequest(h, request, outgoing, transfer);
  applyOptions(h, options_, request.url);
  runTransfer(h, transfer);

  onStop.reset();
  // A handle that was stopped may hold a connection that was shut down under it.
  if (pool_ && !stop.stop_requested()) {
    pool_->give(std::move(easy));
  }
}

URLSession::Response URLSession::fetch(const Request &request, std::size_t limit,
                                       std::string_view limitMessage, std::stop_token stop) const {
  Response response;
  perform(
      request, [&](const Head &head) { response.head = head; },
      [&](std::string_view bytes) {
        if (bytes.size() > limit - response.body.size()) {
          throw ConnectorError(std::string(limitMessage), 400);
        }
        response.body.append(bytes);
      },
      stop);
  return response;
}

URLSession isolatedSession(std::optional<std::string> tlsHostname, double requestTimeout,
                           double resourceTimeout) {
  URLSession::Options options;
  options.followRedirects = false;
  options.tlsHostname = std::move(tlsHostname);
  options.useProxy = false;
  options.requestTimeout = requestTimeout;
  options.resourceTimeout = resourceTimeout;
  return URLSession(std::move(options));
}

} // namespace pellum
