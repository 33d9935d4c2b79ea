#include "connector/Heartbeat.h"

#include "support/ConnectorError.h"
#include "support/Console.h"

#include <algorithm>
#include <unistd.h>

namespace pellum {

Heartbeat::Heartbeat(const ServiceAPI &api, const DeviceConfig &config, NativeBridge &bridge,
                     StopSignal &stopSignal, std::chrono::milliseconds period, double lease)
    : api_(api), config_(config), bridge_(bridge), stopSignal_(stopSignal), period_(period),
      lease_(lease), thread_([this](std::stop_token stop) { loop(stop); }) {}

void Heartbeat::cancel() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

nlohmann::json Heartbeat::body(const DeviceConfig &config) {
  nlohmann::json targets = nlohmann::json::array();
  for (const LocalServer &server : config.servers) {
    targets.push_back({{"slug", server.slug}, {"localTarget", server.localTarget()}});
  }
  return {{"targets", std::move(targets)}};
}

void Heartbeat::beat(const ServiceAPI &api, const DeviceConfig &config, NativeBridge &bridge,
                     double lease, std::stop_token stop) {
  nlohmann::json answer =
      api.call(config.endpoint, config.credential, "/heartbeat", body(config), "POST", stop);
  auto servers = answer.find("servers");
  if (servers == answer.end() || !servers->is_array() ||
      !std::all_of(servers->begin(), servers->end(),
                   [](const nlohmann::json &entry) { return entry.is_object(); })) {
    throw ConnectorError("Invalid heartbeat response.", 400);
  }
  bridge.authorize(*servers, lease);
}

void Heartbeat::loop(std::stop_token stop) {
  while (true) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, stop, period_, [] { return false; });
    }
    if (stop.stop_requested()) {
      return;
    }
    bool revoked = false;
    try {
      beat(api_, config_, bridge_, lease_, stop);
      continue;
    } catch (const ConnectorError &error) {
      revoked = error.status == 401;
    } catch (...) {
      // Whatever failed, the next period brings the next try.
    }
    if (stop.stop_requested()) {
      return;
    }
    if (revoked) {
      writeLine(STDOUT_FILENO, "Device revoked. Stopping connector.");
      stopSignal_.set();
      return;
    }
    writeLine(STDERR_FILENO, "Heartbeat failed; access expires unless connection recovers.");
  }
}

} // namespace pellum
