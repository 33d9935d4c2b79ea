#pragma once

#include "config/ConfigStore.h"
#include "config/ServiceOrigin.h"
#include "launch/LaunchService.h"
#include "service/CloudflareInstaller.h"
#include "service/ServiceAPI.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pellum {

// The management verbs shared by the connector's command line and the app: enrolment, the
// launch agent, the tunnel client's update and the local services. Each call takes the words of
// one command and an optional text input, and returns one result line or throws
// (ConnectorError with status 400 for its own failures; errors of the cloud service, the launch
// agent, the installer and the platform pass through unchanged).
//
// A change of the local services is published to the cloud service before "config.json" is
// written, so a failed call leaves the file untouched; a running agent is then reinstalled so
// that the connector picks the change up. Keeps nothing between calls; blocks the calling
// thread (network, child programs). One command at a time per caller; concurrent commands are
// not coordinated and the later save wins.
class NativeManagement {
public:
  // What tests replace: the service manager's programs and home, the tunnel client's release
  // feed, and the origin used by "enroll" without "--endpoint".
  struct Options {
    LaunchSettings launch;
    CloudflareInstaller::Options installer;
    std::string defaultOrigin{kDefaultServiceOrigin};
  };

  // `executable` is the connector program, named wherever the connector must refer to itself
  // (the launch agent).
  NativeManagement(ConfigStore store, std::filesystem::path executable);
  NativeManagement(ConfigStore store, std::filesystem::path executable, Options options);

  std::string execute(const std::vector<std::string> &arguments,
                      const std::optional<std::string> &input) const;

  // Stores a pairing that the app has just obtained and starts its agent with `cloudflared`.
  // The ownership record stays pending until the agent is installed, so an interrupted setup is
  // finished at the next start. A record already stored for the same `id` and `endpoint` is
  // kept; one for another pairing is left alone and throws ConnectorError("An existing pairing
  // appeared during setup. …", 400). Failures of the store, the ownership record and the launch
  // agent are thrown.
  void finishPairing(const DeviceConfig &device, const std::filesystem::path &cloudflared,
                     const std::optional<std::string> &accountID) const;

  // Takes over the pairing of the earlier command-line edition where it lies: the connector
  // executable checked, the tunnel client ensured, both agents replaced by this system's with
  // a foreground connector stopped, the pairing marked as the app's. Returns the record; the
  // first failure is thrown.
  DeviceConfig convertExistingPairing() const;

  // Removes a pairing found revoked: when the store still holds the same pairing as `device`
  // (same `id`, `endpoint` and `credential`), both agents are removed, a proven foreground
  // connector is stopped and the pairing's files are cleared. False, with nothing changed, when
  // the pairing on disk cannot be loaded or differs. Failures are thrown; what was done before
  // them stays done. Does not ask the cloud service.
  bool resetRevokedPairing(const DeviceConfig &device) const;

  ConfigStore store;
  // The launch agent of the same store and executable.
  std::shared_ptr<const LaunchService> service;
  // The cloud service client, on an isolated session.
  ServiceAPI api;

private:
  using Words = std::vector<std::string>;

  std::string enroll(const Words &rest, const std::optional<std::string> &input) const;
  std::string manageService(const Words &rest) const;
  std::string updateTunnelClient() const;
  std::string add(DeviceConfig config, const std::string &slug, const Words &rest,
                  const std::optional<std::string> &input) const;
  std::string remove(DeviceConfig config, const std::string &slug) const;
  std::string changeHeaders(DeviceConfig config, const std::string &slug, const Words &rest,
                            const std::optional<std::string> &input) const;
  static std::string list(const DeviceConfig &config);

  // Publishes `server` to the device's cloud service.
  void publish(const DeviceConfig &config, const LocalServer &server) const;
  // Reinstalls a present launch agent so that the connector restarts, and says which happened.
  std::string restartStep() const;
  // Installs the agent with the kept (or a freshly fetched) tunnel client.
  void installAgent() const;

  CloudflareInstaller installer_;
  std::string defaultOrigin_;
};

} // namespace pellum
