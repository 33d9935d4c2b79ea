#pragma once

#include "config/LocalServer.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace pellum {

// The device record stored in "config.json": pairs this computer with the cloud service and
// lists its local services. `credential`, `bridgePassword` and `tunnelToken` are secrets and
// are never printed.
struct DeviceConfig {
  std::string endpoint;
  std::string id;
  std::string name;
  std::string hostname;
  std::uint16_t port = 0;
  std::string credential;
  std::string bridgePassword;
  std::string tunnelToken;
  std::vector<LocalServer> servers;

  bool operator==(const DeviceConfig &) const = default;

  // Throws ConnectorError (400) for the first rule the record breaks; no side effects.
  void validate() const;
};

// All nine keys are required; `port` must be a JSON integer 0-65535. Decoding failures are
// nlohmann::json exceptions.
void to_json(nlohmann::json &json, const DeviceConfig &config);
void from_json(const nlohmann::json &json, DeviceConfig &config);

} // namespace pellum
