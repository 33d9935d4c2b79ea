#pragma once

#include "bridge/NativeBridge.h"
#include "config/DeviceConfig.h"
#include "connector/StopSignal.h"
#include "service/ServiceAPI.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace pellum {

// The connector's heartbeats: each one tells the cloud service which local services exist and
// receives the namespaces it may serve, which the bridge then allows for one lease.
//
// An instance is the periodic task: a thread that waits one period, then beats, over and over
// until cancel(). A 401 answer means the device was revoked: it prints "Device revoked. Stopping
// connector." to standard output, sets the stop signal and ends the task. Any other failure
// writes "Heartbeat failed; access expires unless connection recovers." to standard error and
// the next beat follows one period later (the lease granted earlier keeps running out). The
// referenced objects must outlive the instance.
class Heartbeat {
public:
  Heartbeat(const ServiceAPI &api, const DeviceConfig &config, NativeBridge &bridge,
            StopSignal &stopSignal, std::chrono::milliseconds period, double lease);
  ~Heartbeat() { cancel(); }
  Heartbeat(const Heartbeat &) = delete;
  Heartbeat &operator=(const Heartbeat &) = delete;

  // Ends the task silently, abandoning a call in flight, and waits for its thread. Idempotent;
  // call from the owning thread.
  void cancel();

  // The request body: {"targets": [{"slug", "localTarget"}, ...]}, every configured service in
  // its configured order.
  static nlohmann::json body(const DeviceConfig &config);

  // One exchange: POSTs the body to "/heartbeat" with the device credential, then hands the
  // answer's "servers" to the bridge with a lease of `lease` seconds. Throws what the service
  // client throws, and ConnectorError("Invalid heartbeat response.", 400) when "servers" is not
  // an array of objects. Blocks; `stop` abandons the call.
  static void beat(const ServiceAPI &api, const DeviceConfig &config, NativeBridge &bridge,
                   double lease, std::stop_token stop = {});

private:
  void loop(std::stop_token stop);

  const ServiceAPI &api_;
  const DeviceConfig &config_;
  NativeBridge &bridge_;
  StopSignal &stopSignal_;
  const std::chrono::milliseconds period_;
  const double lease_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

} // namespace pellum
