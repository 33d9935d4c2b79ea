#include "bridge/LocalForwarder.h"

#include "http/ProxyHeaders.h"
#include "service/TransportError.h"
#include "support/ConnectorError.h"
#include "support/Url.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace pellum {

namespace {

// Bytes collected before they go out as one chunk, unless a line ends first. The chunks that
// one delivery from the service completes go out together, in one write.
constexpr std::size_t kChunkLimit = 16'384;

constexpr std::string_view kConnectionFailed =
    "Local MCP HTTP connection failed. Check its address and credentials.";

// Handles (with their connections) each session keeps for the next request to a service. A
// sequential client needs one; 16 clients at once still find one each, instead of one in
// twenty of their requests connecting anew (and closing a connection that another will miss).
constexpr std::size_t kIdleHandles = 16;

// A streamed answer is read in pieces this large, so that a fast service's bytes reach the
// client in few large writes rather than in many of libcurl's default 16 KiB.
constexpr std::size_t kReceiveBuffer = 64 * 1024;

// Thrown from the answer handlers when the client's answer is complete and the rest of the
// service's answer is not wanted.
struct AnswerComplete {};

// Thrown from the answer handlers when the transfer was stopped.
struct Cancelled {};

} // namespace

// Where a service's requests go. A service addressed as "localhost" is reached at a loopback
// address put in place of that name, so the rest of the URL stays exactly as configured.
struct LocalForwarder::Target {
  std::string url;        // as configured
  std::uint32_t port = 0; // explicit, or the scheme's default
  bool rewritten = false; // the host was "localhost"
  std::string beforeHost; // for a rewritten host: the URL around it
  std::string afterHost;
  std::string hostHeader; // for a rewritten host: "localhost" and the explicit port

  std::string urlWithHost(std::string_view host) const {
    return beforeHost + std::string(host) + afterHost;
  }
};

namespace {

using Target = LocalForwarder::Target;

// Empty when the URL does not parse or is not http(s); validation keeps such URLs out of the
// configuration, so this only guards against a record that bypassed it.
std::optional<Target> targetOf(const std::optional<std::string> &configured) {
  if (!configured) {
    return std::nullopt;
  }
  std::optional<Url> url = Url::parse(*configured);
  if (!url) {
    return std::nullopt;
  }
  std::string scheme = url->scheme().value_or("");
  if (scheme != "http" && scheme != "https") {
    return std::nullopt;
  }
  Target target;
  target.url = *configured;
  std::optional<std::string> port = url->port();
  if (port) {
    auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), target.port);
    if (error != std::errc() || end != port->data() + port->size()) {
      return std::nullopt;
    }
  } else {
    target.port = scheme == "https" ? 443 : 80;
  }

  std::optional<std::string_view> authority = Url::rawAuthority(target.url);
  if (url->host() != "localhost" || !authority || Url::rawHost(*authority) != "localhost") {
    return target;
  }
  std::string_view text = target.url;
  std::string_view host = Url::rawHost(*authority);
  std::size_t start = static_cast<std::size_t>(host.data() - text.data());
  target.rewritten = true;
  target.beforeHost = std::string(text.substr(0, start));
  target.afterHost = std::string(text.substr(start + host.size()));
  target.hostHeader = port ? "localhost:" + *port : "localhost";
  return target;
}

// A session for local services that keeps its connections to them between requests.
URLSession forwardingSession(std::optional<std::string> tlsHostname,
                             const LocalForwarder::Options &options) {
  URLSession::Options session =
      isolatedSession(std::move(tlsHostname), options.requestTimeout, options.resourceTimeout)
          .options();
  session.idleHandles = kIdleHandles;
  session.receiveBuffer = kReceiveBuffer;
  return URLSession(std::move(session));
}

} // namespace

// One forward() while it talks to the service: its stop (the caller's, or invalidate()), and the
// answer that it streams to the client.
//
// Nothing reaches the client without a check of the stop and of `authorized` just before the
// write. Bytes of the body are only collected in between, so checking before each write passes
// on exactly what checking every byte as it arrives would: a byte that arrives after the lease
// has gone is never written, because the write that would carry it checks after it arrived.
//
// Each delivery of body bytes is framed into chunks at once (one ends at every line feed, and
// at kChunkLimit bytes without one); the complete chunks leave in one write before the next
// delivery is awaited, so a service that pauses has everything up to its last line feed with
// the client meanwhile. Only the unfinished line waits, as the framing requires.
class LocalForwarder::Transfer {
public:
  Transfer(LocalForwarder &owner, std::stop_token stop, HTTPConnection &client,
           const std::function<bool()> &authorized)
      : owner_(owner), client_(client), authorized_(authorized),
        relay_(std::move(stop), Relay{&stop_}) {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.invalidated_) {
      entry_ = owner_.transfers_.insert(owner_.transfers_.end(), &stop_);
      admitted_ = true;
    }
  }

  ~Transfer() {
    if (admitted_) {
      std::lock_guard lock(owner_.mutex_);
      owner_.transfers_.erase(entry_);
    }
  }

  Transfer(const Transfer &) = delete;
  Transfer &operator=(const Transfer &) = delete;

  bool admitted() const { return admitted_; }
  bool stopped() const { return stop_.stop_requested(); }
  std::stop_token token() const { return stop_.get_token(); }

  void onHead(const URLSession::Head &head) {
    check();
    if (head.status < 100 || head.status > 599 || (head.status >= 300 && head.status <= 399)) {
      client_.head(502, {}, false, 0);
      throw AnswerComplete{};
    }
    HeaderMap headers = head.headers;
    // libcurl has decoded the body already.
    headers.erase("content-encoding");
    headers = cleanProxyHeaders(headers);
    if (head.status == 204) {
      client_.head(204, headers, false, 0);
      throw AnswerComplete{};
    }
    client_.head(head.status, headers, true, 0);
  }

  void onBody(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t room = kChunkLimit - buffer_.size();
      std::size_t lineFeed = bytes.substr(0, room).find('\n');
      if (lineFeed == std::string_view::npos && bytes.size() < room) {
        buffer_.append(bytes); // an unfinished line
        break;
      }
      std::size_t take = lineFeed == std::string_view::npos ? room : lineFeed + 1;
      HTTPConnection::appendChunk(ready_, buffer_, bytes.substr(0, take));
      buffer_.clear();
      bytes.remove_prefix(take);
    }
    if (!ready_.empty()) {
      flush();
    }
  }

  // The end of the service's body: the rest and the last chunk, in one write.
  void finish() {
    if (!buffer_.empty()) {
      HTTPConnection::appendChunk(ready_, buffer_);
      buffer_.clear();
    }
    HTTPConnection::appendChunk(ready_, {});
    flush();
  }

private:
  struct Relay {
    std::stop_source *stop;
    void operator()() const noexcept { stop->request_stop(); }
  };

  void check() const {
    if (stop_.stop_requested()) {
      throw Cancelled{};
    }
    if (!authorized_()) {
      throw ConnectorError("Device authorization expired.", 400);
    }
  }

  void flush() {
    check();
    client_.send(ready_);
    ready_.clear();
  }

  LocalForwarder &owner_;
  HTTPConnection &client_;
  const std::function<bool()> &authorized_;
  std::string buffer_; // the unfinished chunk
  std::string ready_;  // framed chunks for the next write
  bool admitted_ = false;
  std::list<std::stop_source *>::iterator entry_;
  std::stop_source stop_;
  std::stop_callback<Relay> relay_; // after stop_, which it stops
};

LocalForwarder::LocalForwarder(std::uint16_t bridgePort, Environment environment, Options options)
    : bridgePort_(bridgePort), environment_(std::move(environment)),
      http_(forwardingSession(std::nullopt, options)),
      localhostHTTP_(forwardingSession("localhost", options)) {}

void LocalForwarder::forward(const HTTPRequest &request, const LocalServer &server,
                             HTTPConnection &client, std::stop_token stop,
                             const std::function<bool()> &authorized) {
  auto answerFailure = [&client] {
    client.respond(502, nlohmann::json{{"error", kConnectionFailed}}.dump(),
                   {{"content-type", "application/json"}});
  };

  std::optional<Target> target = targetOf(server.url);
  if (!target) {
    answerFailure();
    return;
  }
  // The bridge never forwards to itself.
  if (target->port == bridgePort_) {
    client.head(502, {}, false, 0);
    return;
  }

  HeaderMap headers = cleanProxyHeaders(request.headers);
  // Two more that concern only the client's side: the answer is always passed on decoded, so
  // the client's choice of encodings says nothing about what may travel from the service
  // (libcurl offers the ones it can decode), and the body is already in hand, so there is
  // nothing to wait for a "100 Continue" about.
  headers.erase("accept-encoding");
  headers.erase("expect");
  std::optional<std::string> body;
  if (!request.body.empty()) {
    body = request.body;
  }
  URLSession::Request outgoing;
  try {
    outgoing = outgoingRequest(*target, server, request.method, std::move(headers), body);
  } catch (const ConnectorError &) {
    answerFailure(); // the reason names the service's secrets; it stays here
    return;
  }

  Transfer transfer(*this, std::move(stop), client, authorized);
  if (!transfer.admitted()) {
    answerFailure();
    return;
  }
  try {
    send(
        *target, outgoing, [&transfer](const URLSession::Head &head) { transfer.onHead(head); },
        [&transfer](std::string_view bytes) { transfer.onBody(bytes); }, transfer.token());
    transfer.finish();
    return;
  } catch (const AnswerComplete &) {
    return;
  } catch (const ConnectorError &) {
    throw; // authorization gone: the owner answers or closes
  } catch (const Cancelled &) {
    // handled below
  } catch (const TransportError &error) {
    if (!transfer.stopped() && !client.sentHeaders()) {
      if (error.notHTTP()) {
        client.head(502, {}, false, 0);
      } else {
        answerFailure();
      }
      return;
    }
    if (!transfer.stopped()) {
      throw;
    }
  } catch (...) {
    if (client.sentHeaders()) {
      throw;
    }
    answerFailure();
    return;
  }
  // Stopped.
  if (client.sentHeaders()) {
    throw std::system_error(std::make_error_code(std::errc::operation_canceled));
  }
  answerFailure();
}

void LocalForwarder::exchange(const LocalServer &server, const std::string &method,
                              HeaderMap headers, const std::optional<std::string> &body,
                              const URLSession::HeadHandler &onHead,
                              const URLSession::BodyHandler &onBody, std::stop_token stop) const {
  std::optional<Target> target = targetOf(server.url);
  if (!target) {
    throw ConnectorError("Invalid local URL.", 400);
  }
  if (target->port == bridgePort_) {
    throw ConnectorError("The service uses the connector's own port, and the connector never "
                         "forwards to itself.",
                         400);
  }
  URLSession::Request outgoing = outgoingRequest(*target, server, method, std::move(headers), body);
  send(*target, outgoing, onHead, onBody, std::move(stop));
}

URLSession::Request LocalForwarder::outgoingRequest(const Target &target, const LocalServer &server,
                                                    const std::string &method, HeaderMap headers,
                                                    const std::optional<std::string> &body) const {
  for (auto &[name, value] : server.localHeaders(environment_)) {
    headers[name] = std::move(value);
  }
  URLSession::Request outgoing;
  outgoing.method = method;
  outgoing.url = target.rewritten ? target.urlWithHost("127.0.0.1") : target.url;
  if (target.rewritten) {
    outgoing.headers.emplace_back("Host", target.hostHeader);
  }
  for (auto &[name, value] : headers) {
    outgoing.headers.emplace_back(name, std::move(value));
  }
  outgoing.body = body;
  return outgoing;
}

void LocalForwarder::send(const Target &target, URLSession::Request &outgoing,
                          const URLSession::HeadHandler &onHead,
                          const URLSession::BodyHandler &onBody, std::stop_token stop) const {
  const URLSession &session = target.rewritten ? localhostHTTP_ : http_;
  try {
    session.perform(outgoing, onHead, onBody, stop);
  } catch (const TransportError &error) {
    // Something may listen on the IPv6 loopback only. A refused connection has delivered
    // nothing, so the same request can go there once more.
    if (!error.connectionRefused() || !target.rewritten || stop.stop_requested()) {
      throw;
    }
    outgoing.url = target.urlWithHost("[::1]");
    session.perform(outgoing, onHead, onBody, stop);
  }
}

void LocalForwarder::invalidate() {
  std::lock_guard lock(mutex_);
  invalidated_ = true;
  for (std::stop_source *transfer : transfers_) {
    transfer->request_stop();
  }
}

} // namespace pellum
