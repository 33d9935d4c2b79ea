#include "onboarding/PairingRecovery.h"

#include "service/ServiceAPI.h"
#include "support/ConnectorError.h"

namespace pellum {

namespace {

// The pairing's own files; "config.json" goes last so that an interrupted clean-up still shows
// a pairing that the next attempt finds and removes.
constexpr const char *kPairingFiles[] = {"mac-installation-id", "mac-app.json", "secrets.env",
                                         "running.pid", "config.json"};

bool samePairing(const DeviceConfig &stored, const DeviceConfig &device) {
  return stored.id == device.id && stored.endpoint == device.endpoint &&
         stored.credential == device.credential;
}

} // namespace

bool PairingRecovery::isRevoked(const DeviceConfig &device) {
  try {
    ServiceAPI(isolatedSession())
        .call(device.endpoint, device.credential, "/status", std::nullopt, "GET");
    return false;
  } catch (const ConnectorError &error) {
    return error.status == 401;
  } catch (...) {
    // Only the service's own word revokes; an unreachable service never leads to a clean-up.
    return false;
  }
}

bool PairingRecovery::matches(const DeviceConfig &device, const ConfigStore &store) {
  try {
    return samePairing(store.load(), device);
  } catch (const std::exception &) {
    return false;
  }
}

bool PairingRecovery::clear(const DeviceConfig &device, const ConfigStore &store) {
  if (!matches(device, store)) {
    return false;
  }
  for (const char *name : kPairingFiles) {
    // remove() skips a file that does not exist and throws any other failure.
    std::filesystem::remove(store.directory() / name);
  }
  return true;
}

} // namespace pellum
