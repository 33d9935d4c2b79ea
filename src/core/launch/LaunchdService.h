#pragma once

#include "launch/LaunchService.h"

namespace pellum {

class PropertyList;

// The launchd backend: an XML property list in ~/Library/LaunchAgents, driven through
// `launchctl` in the "gui/<uid>" domain.
class LaunchdService : public LaunchService {
public:
  LaunchdService(ConfigStore store, std::filesystem::path executable, Settings settings = {});

  // The agent dictionary as an XML property list.
  static std::string definition(const std::filesystem::path &executable,
                                const std::filesystem::path &cloudflared,
                                const std::filesystem::path &directory,
                                const std::filesystem::path &home);

  // The test behind startsAtLogin: the dictionary runs `executable` "start" at load with
  // `directory` as PELLUM_CONFIG_DIR, and neither launchd's disabled-services text (the output
  // of "print-disabled") nor the dictionary disables it.
  static bool isConfiguredAtLogin(const PropertyList &agent, std::string_view disabledServices,
                                  const std::filesystem::path &executable,
                                  const std::filesystem::path &directory);

  // Decodes an agent property list; throws ConnectorError when it is not one.
  static Agent decodeAgent(std::string_view bytes);

  std::filesystem::path agentFile(std::string_view label) const override;
  bool startsAtLogin() const override;
  void unload(std::string_view label) const override;

protected:
  std::string definitionText(const std::filesystem::path &cloudflared) const override;
  void enable() const override;
  CommandResult bootstrapAttempt() const override;
  std::string_view managerName() const override { return "launchd"; }
  Agent decodeAgentBytes(std::string_view bytes) const override { return decodeAgent(bytes); }
  std::string loadedState(std::string_view label) const override;

private:
  std::string domain() const;
  std::string target(std::string_view label) const;
};

} // namespace pellum
