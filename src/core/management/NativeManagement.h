#pragma once

#include "config/ConfigStore.h"
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
