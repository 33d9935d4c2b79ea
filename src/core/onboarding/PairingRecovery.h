#pragma once

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"

namespace pellum {

// Finds out whether the service revoked a pairing's credential and removes that pairing's files,
// so that the computer is new again. A removal happens only while the directory still holds the
// very pairing that was found revoked (same `id`, `endpoint` and `credential`), so a pairing
// made meanwhile is never destroyed. Static operations only; all block their thread and may run
// on any thread.
class PairingRecovery {
public:
  PairingRecovery() = delete;

  // Asks the service for "/status" with the record's credential. True only for an explicit 401
  // answer; any other answer or failure (unreachable, bad origin) is false. Never throws.
  static bool isRevoked(const DeviceConfig &device);

  // True when `store` holds the same pairing as `device`; false also when it cannot be loaded.
  static bool matches(const DeviceConfig &device, const ConfigStore &store);

  // Removes "mac-installation-id", "mac-app.json", "secrets.env", "running.pid" and
  // "config.json" in that order, those that exist, when `store` still holds the same pairing;
  // returns whether it did. The tunnel client's files and the logs stay. A removal failure is
  // thrown at once; files removed before it stay removed.
  static bool clear(const DeviceConfig &device, const ConfigStore &store);
};

} // namespace pellum
