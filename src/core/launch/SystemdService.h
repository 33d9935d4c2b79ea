#pragma once

#include "launch/LaunchService.h"

#include <map>

namespace pellum {

class UnitFile;

// The systemd backend: a user unit in ~/.config/systemd/user driven through
// `systemctl --user`. Where no user service manager can be reached, `install` says so before it
// writes anything; the other operations then see no loaded agent.
class SystemdService : public LaunchService {
public:
  SystemdService(ConfigStore store, std::filesystem::path executable, Settings settings = {});

  // The unit text: the executable runs "start" "--cloudflared" `cloudflared` in `home` with
  // HOME, PATH and PELLUM_CONFIG_DIR set, restarted 30 s after a failed exit, its output
  // appended to the logs in `directory`, wanted by the default target. Throws ConnectorError
  // for a path that a unit cannot hold.
  static std::string definition(const std::filesystem::path &executable,
                                const std::filesystem::path &cloudflared,
                                const std::filesystem::path &directory,
                                const std::filesystem::path &home);

  // The test behind startsAtLogin: the unit runs `executable` "start" with `directory` as
  // PELLUM_CONFIG_DIR, is wanted by the default target, and `is-enabled` answered "enabled".
  static bool isConfiguredAtLogin(const UnitFile &unit, std::string_view isEnabledOutput,
                                  const std::filesystem::path &executable,
                                  const std::filesystem::path &directory);

  // Decodes a unit file; never fails.
  static Agent decodeAgent(std::string_view bytes);

  std::filesystem::path agentFile(std::string_view label) const override;
  bool startsAtLogin() const override;
  void unload(std::string_view label) const override;

protected:
  void checkAvailable() const override;
  std::string definitionText(const std::filesystem::path &cloudflared) const override;
  void enable() const override;
  CommandResult bootstrapAttempt() const override;
  std::string_view managerName() const override { return "systemd"; }
  Agent decodeAgentBytes(std::string_view bytes) const override { return decodeAgent(bytes); }
  void removeAgent(std::string_view label) const override;
  std::string loadedState(std::string_view label) const override;

private:
  // LoadState, ActiveState and SubState of the unit of `label`; empty when systemctl fails.
  std::map<std::string, std::string> unitState(std::string_view label) const;
};

} // namespace pellum
