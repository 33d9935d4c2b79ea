#include "bridge/NativeBridge.h"

#include "bridge/BridgeAnswers.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace pellum {

namespace {

using nlohmann::json;

// A lease longer than about a century is a century: the clock must not overflow.
constexpr double kLongestLease = 100.0 * 365 * 24 * 3600;

StdioEndpoint::Options endpointOptions(const NativeBridge::Options &options) {
  StdioEndpoint::Options chosen{options.idleLimit, options.forwardTimeout, options.session};
  chosen.session.clock = options.clock; // sessions are idle on the bridge's time
  return chosen;
}

} // namespace

NativeBridge::NativeBridge(DeviceConfig config, Environment environment, Options options)
    : config_(std::move(config)), environment_(std::move(environment)),
      options_(std::move(options)), forwarder_(config_.port, environment_, options_.forwarder),
      endpoint_(environment_, endpointOptions(options_),
                [this](const std::string &slug) { return stillAuthorized(slug); }),
      reactor_({options_.connectionLimit, options_.workerIdle},
               [this](const HTTPRequest &request, HTTPConnection &client, std::stop_token stop) {
                 handle(request, client, stop);
               }) {
  config_.validate();
}

NativeBridge::~NativeBridge() { close(); }

void NativeBridge::authorize(const json &servers, double lease) {
  std::set<std::string> slugs;
  if (servers.is_array()) {
    for (const json &entry : servers) {
      if (!entry.is_object()) {
        continue;
      }
      auto enabled = entry.find("enabled");
      auto slug = entry.find("slug");
      if (enabled != entry.end() && enabled->is_boolean() && enabled->get<bool>() &&
          slug != entry.end() && slug->is_string()) {
        slugs.insert(slug->get<std::string>());
      }
    }
  }
  // NaN and negative leases are no lease at all.
  double seconds = std::isnan(lease) ? 0 : std::clamp(lease, 0.0, kLongestLease);
  auto until = options_.clock->now() + std::chrono::duration_cast<MonotonicClock::duration>(
                                           std::chrono::duration<double>(seconds));
  {
    Lock lock(mutex_);
    allowed_ = std::move(slugs);
    leaseUntil_ = until;
  }
  prune();
}

std::uint16_t NativeBridge::start(std::optional<std::uint16_t> port) {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    Lock lock(mutex_);
    if (stopped_) {
      throw ConnectorError("Bridge listener cancelled.", 400);
    }
    if (started_) {
      throw std::logic_error("The bridge listener is already started.");
    }
  }
  std::uint16_t bound = reactor_.listen(port.value_or(config_.port));
  {
    Lock lock(mutex_);
    started_ = true;
  }
  pruning_ = std::jthread([this](std::stop_token stop) { pruningLoop(stop); });
  return bound;
}

void NativeBridge::accept(int fd) { reactor_.accept(fd); }

void NativeBridge::pruningLoop(std::stop_token stop) {
  const MonotonicClock &clock = *options_.clock;
  while (clock.sleepUntil(clock.now() + options_.pruningPeriod, stop)) {
    prune();
  }
}

std::optional<int> NativeBridge::authorizationStatus(const HTTPRequest &request) const {
  if (request.headers.count("origin") != 0) {
    return 403;
  }
  auto given = request.headers.find("authorization");
  std::string_view received;
  if (given != request.headers.end()) {
    received = given->second;
  }
  // Digests of fixed length, compared without an early exit: the time says nothing.
  // Made at the first request rather than at construction: an idle bridge has not loaded the
  // cryptography library's state yet.
  std::call_once(expectedOnce_, [this] {
    expectedAuthorization_ =
        sha256Digest("Basic " + base64Encode("kestrin:" + config_.bridgePassword));
  });
  if (!constantTimeEquals(expectedAuthorization_, sha256Digest(received))) {
    return 401;
  }
  Lock lock(mutex_);
  if (options_.clock->now() >= leaseUntil_) {
    return 503;
  }
  return std::nullopt;
}

void NativeBridge::handle(const HTTPRequest &request, HTTPConnection &client,
                          std::stop_token stop) {
  if (auto status = authorizationStatus(request)) {
    emptyAnswer(client, *status);
    return;
  }
  const std::string &target = request.target;
  if (!target.starts_with("/s/") || target.find('?') != std::string::npos) {
    emptyAnswer(client, 404);
    return;
  }
  const LocalServer *server = nullptr;
  for (const LocalServer &candidate : config_.servers) {
    std::string_view rest = std::string_view(target).substr(3);
    if (rest == candidate.slug ||
        (rest.ends_with('/') && rest.substr(0, rest.size() - 1) == candidate.slug)) {
      server = &candidate;
      break;
    }
  }
  bool allowed = false;
  if (server != nullptr) {
    Lock lock(mutex_);
    allowed = allowed_.count(server->slug) != 0;
  }
  if (!allowed) {
    emptyAnswer(client, 404); // a withdrawn namespace looks like one that does not exist
    return;
  }
  const std::string &method = request.method;
  if (method != "GET" && method != "POST" && method != "DELETE") {
    emptyAnswer(client, 405, {{"allow", "GET, POST, DELETE"}});
    return;
  }
  if (server->type == "http") {
    const std::string &slug = server->slug;
    forwarder_.forward(request, *server, client, stop,
                       [this, &slug] { return stillAuthorized(slug); });
  } else {
    endpoint_.serve(request, *server, client, stop);
  }
}

bool NativeBridge::stillAuthorized(const std::string &slug) const {
  Lock lock(mutex_);
  return !stopped_ && options_.clock->now() < leaseUntil_ && allowed_.count(slug) != 0;
}

void NativeBridge::prune() {
  endpoint_.prune();
  bool expired;
  {
    Lock lock(mutex_);
    expired = options_.clock->now() >= leaseUntil_;
  }
  if (expired) {
    reactor_.cancelAll();
  }
}

void NativeBridge::close() {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    Lock lock(mutex_);
    stopped_ = true;
  }
  reactor_.shutDown(); // refuses new connections; waiting connection threads end
  if (pruning_.joinable()) {
    pruning_.request_stop();
    pruning_.join();
  }
  forwarder_.invalidate();

  // Everything is told to stop before anything is waited for, so that the children's graces
  // and the connections' ends all overlap.
  reactor_.cancelAll();
  endpoint_.closeAll();
  reactor_.join();    // their waits end at their stop
  endpoint_.finish(); // the children's graces, all begun above
}

std::size_t NativeBridge::requestCount() const { return reactor_.count(); }

std::size_t NativeBridge::sessionCount() const { return endpoint_.count(); }

} // namespace pellum
