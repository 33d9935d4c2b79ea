#pragma once

#include "config/DeviceConfig.h"

#include <string>

namespace pellum::test {

// A device record that passes validation, enrolled with `endpoint`.
inline DeviceConfig sampleDevice(std::string endpoint = "https://pellum.zendrel.com") {
  DeviceConfig device;
  device.endpoint = std::move(endpoint);
  device.id = "dev-1";
  device.name = "Desk";
  device.hostname = "desk.tunnel.invalid";
  device.port = 47831;
  device.credential = "cred-1";
  device.bridgePassword = "bridge-1";
  device.tunnelToken = "tunnel-1";
  return device;
}

} // namespace pellum::test
