#include "service/URLSession.h"

#include "config/ConnectorError.h"
#include "service/CurlGlobal.h"
#include "service/TransportError.h"
#include "support/Ascii.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace pellum {

namespace {

struct ListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
struct URLDeleter {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
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

// A token as HTTP defines it for methods and header names: visible ASCII without separators
// that would let a caller's text end the line or the field early.
bool isToken(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != ':' && c != '(' && c != ')' && c != ',' && c != '/' &&
           c != ';' && c != '<' && c != '=' && c != '>' && c != '?' && c != '@' && c != '[' &&
           c != '\\' && c != ']' && c != '{' && c != '}' && c != '"';
  });
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

// The sockets that one easy handle has open, for as long as the handle lives: libcurl closes a
// connection through the callbacks that were set when it was opened, and a kept handle keeps its
// connections from one request to the next. libcurl looks at a stop only in its progress
// callback, which runs about once a second while a transfer is idle; shutting the sockets down
// wakes its wait at once. Sockets are opened and closed through here, under the lock, so a stop
// never touches a descriptor that was closed and reused meanwhile. Once stopped, no new socket
// is opened until the next request begins.
class HandleSockets {
public:
  HandleSockets() = default;
  HandleSockets(const HandleSockets &) = delete;
  HandleSockets &operator=(const HandleSockets &) = delete;

  // Routes the handle's sockets through here for the coming request, which is not stopped yet.
  void attach(CURL *handle) {
    {
      std::lock_guard lock(mutex_);
      stopped_ = false;
    }
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, open);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, close);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, this);
  }

  void stop() noexcept {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (int fd : open_) {
      ::shutdown(fd, SHUT_RDWR);
    }
  }

private:
  static curl_socket_t open(void *user, curlsocktype, curl_sockaddr *address) {
    auto *sockets = static_cast<HandleSockets *>(user);
    std::lock_guard lock(sockets->mutex_);
    if (sockets->stopped_) {
      return CURL_SOCKET_BAD;
    }
    // Close-on-exec: the connector starts child processes, which must not inherit these.
    int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd >= 0) {
      try {
        sockets->open_.push_back(fd);
      } catch (...) {
        ::close(fd);
        return CURL_SOCKET_BAD;
      }
    }
    return fd < 0 ? CURL_SOCKET_BAD : fd;
  }

  static int close(void *user, curl_socket_t fd) {
    auto *sockets = static_cast<HandleSockets *>(user);
    std::lock_guard lock(sockets->mutex_);
    std::erase(sockets->open_, fd);
    return ::close(fd);
  }

  std::mutex mutex_;
  std::vector<int> open_;
  bool stopped_ = false;
};

// An easy handle and its sockets, which outlive the handle's clean-up: that closes the
// connections the handle still holds, through HandleSockets.
class EasyTransfer {
public:
  EasyTransfer() : handle_(curl_easy_init()) {
    if (handle_ == nullptr) {
      throw std::runtime_error("libcurl could not create a transfer.");
    }
  }
  ~EasyTransfer() { curl_easy_cleanup(handle_); }
  EasyTransfer(const EasyTransfer &) = delete;
  EasyTransfer &operator=(const EasyTransfer &) = delete;

  CURL *handle() const { return handle_; }
  HandleSockets &sockets() { return sockets_; }

private:
  HandleSockets sockets_;
  CURL *handle_;
};

struct ShutdownSockets {
  HandleSockets *sockets;
  void operator()() const noexcept { sockets->stop(); }
};

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
  if (options.delegate) {
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

} // namespace

// Finished handles with their live connections, at most `limit` of them. libcurl keeps a
// handle's connection cache across curl_easy_reset, which clears every option of the last
// request.
class URLSession::HandlePool {
public:
  explicit HandlePool(std::size_t limit) : limit_(limit) {}

  // A kept handle, most recently used first (its connection is the likeliest to be alive), or a
  // new one.
  std::unique_ptr<EasyTransfer> take() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<EasyTransfer> easy = std::move(idle_.back());
        idle_.pop_back();
        return easy;
      }
    }
    return std::make_unique<EasyTransfer>();
  }

  // Keeps a handle whose request ended cleanly, or lets it go when enough are kept.
  void give(std::unique_ptr<EasyTransfer> easy) noexcept {
    curl_easy_reset(easy->handle());
    std::lock_guard lock(mutex_);
    if (idle_.size() < limit_) {
      try {
        idle_.push_back(std::move(easy));
      } catch (...) {
        // Not kept, then.
      }
    }
  }

private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<EasyTransfer>> idle_;
};

URLSession::URLSession(Options options) : options_(std::move(options)) {
  if (options_.delegate && options_.delegate->tlsHostname &&
      !isHostName(*options_.delegate->tlsHostname)) {
    throw std::invalid_argument("Invalid TLS host name.");
  }
  if (options_.idleHandles > 0) {
    pool_ = std::make_shared<HandlePool>(options_.idleHandles);
  }
}

void URLSession::perform(const Request &request, const HeadHandler &onHead,
                         const BodyHandler &onBody, std::stop_token stop) const {
  if (!isToken(request.method)) {
    throw std::invalid_argument("Invalid HTTP method.");
  }
  bool hasContentType = false;
  bool hasExpect = false;
  bool hasHost = false;
  for (const auto &[name, value] : request.headers) {
    if (!isToken(name) || !isFieldValue(value)) {
      throw std::invalid_argument("Invalid HTTP header field.");
    }
    hasContentType = hasContentType || equalsIgnoringCase(name, "content-type");
    hasExpect = hasExpect || equalsIgnoringCase(name, "expect");
    hasHost = hasHost || equalsIgnoringCase(name, "host");
  }

  curlGlobalInit();
  std::unique_ptr<EasyTransfer> easy = pool_ ? pool_->take() : std::make_unique<EasyTransfer>();
  CURL *h = easy->handle();
  easy->sockets().attach(h);
  // Ends before the handle goes back to the pool, so that a late stop touches no other request.
  std::optional<std::stop_callback<ShutdownSockets>> onStop;
  onStop.emplace(stop, ShutdownSockets{&easy->sockets()});

  std::string url = request.url;
  std::optional<PinnedTarget> pinned;
  if (options_.delegate && options_.delegate->tlsHostname) {
    pinned = pinHost(request.url, *options_.delegate->tlsHostname);
  }
  HeaderList connectTo;
  if (pinned) {
    url = pinned->url;
    connectTo.reset(curl_slist_append(nullptr, pinned->connectTo.c_str()));
    if (!connectTo) {
      throw std::bad_alloc();
    }
    curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectTo.get());
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
  curl_slist *list = nullptr;
  for (const auto &line : lines) {
    curl_slist *appended = curl_slist_append(list, line.c_str());
    if (appended == nullptr) {
      curl_slist_free_all(list);
      throw std::bad_alloc();
    }
    list = appended;
  }
  HeaderList headers(list);

  char errorText[CURL_ERROR_SIZE] = {0};
  Transfer transfer;
  transfer.handle = h;
  transfer.onHead = &onHead;
  transfer.onBody = &onBody;
  transfer.stop = stop;
  transfer.headAtBlankLine = options_.delegate.has_value();

  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  // A proxy's answer to CONNECT is not the answer of the request.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBodyBytes);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (stop.stop_possible()) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  applyOptions(h, options_, request.url);
  if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET" || request.body) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data());
  }

  CURLcode code = curl_easy_perform(h);
  if (transfer.failure) {
    std::rethrow_exception(transfer.failure);
  }
  // A stop shuts the sockets down, which can look like the end of a body that runs until the
  // connection closes: a stopped transfer never counts as complete.
  if (stop.stop_requested()) {
    throw TransportError(CURLE_ABORTED_BY_CALLBACK, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  }
  if (code != CURLE_OK) {
    std::string message(errorText);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    throw TransportError(code, message.empty() ? curl_easy_strerror(code) : message);
  }
  if (!transfer.headDelivered) {
    transfer.deliverHead();
  }
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
  options.delegate = NoRedirect{std::move(tlsHostname)};
  options.useProxy = false;
  options.requestTimeout = requestTimeout;
  options.resourceTimeout = resourceTimeout;
  return URLSession(std::move(options));
}

} // namespace pellum
