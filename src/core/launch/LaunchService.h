#pragma once

#include "config/ConfigStore.h"
#include "launch/LaunchSettings.h"
#include "platform/Command.h"
#include "platform/Environment.h"

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellum {

// Registers the connector executable with the user's service manager so that it runs "start" at
// every login and is restarted after a failed exit; inspects, restarts and removes that agent,
// and knows the agent of the earlier command-line edition ("org.zendrel.kestrin"). Two backends
// share this interface: launchd on macOS and systemd user units elsewhere; `create` picks the
// one of the running system. Every operation blocks its caller (child programs run with a 30 s
// time-out, sleeps); call it away from any user-interface thread. Instances hold no mutable
// state and may be used from one thread at a time.
class LaunchService {
public:
  // The agent label of this system and of the earlier command-line edition.
  static constexpr std::string_view label = "org.zendrel.pellum";
  static constexpr std::string_view cliLabel = "org.zendrel.kestrin";
  // The PATH the agent gives the connector.
  static constexpr std::string_view kAgentSearchPath =
      "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

  using Settings = LaunchSettings;

  // What an agent file says, as far as the onboarding needs it.
  struct Agent {
    // The program and its arguments; empty when the file names none usable.
    std::vector<std::string> programArguments;
    // The environment it gives the program; empty when there is none usable.
    Environment environmentVariables;
  };

  // The backend of the running system.
  static std::unique_ptr<LaunchService> create(ConfigStore store, std::filesystem::path executable,
                                               Settings settings = {});

  virtual ~LaunchService() = default;

  const ConfigStore &store() const { return store_; }
  const std::filesystem::path &executable() const { return executable_; }
  const std::filesystem::path &home() const { return home_; }

  // The connector executable for an app bundle: "Contents/Helpers/PellumConnector" inside an
  // ".app", else next to `executableURL` when given, else inside the bundle directory.
  static std::filesystem::path helperURL(const std::filesystem::path &bundleURL,
                                         const std::optional<std::filesystem::path> &executableURL);

  // Throws the "Connector executable is missing at …" ConnectorError unless `executable` is an
  // executable regular file.
  void validateExecutable() const;

  // The agent file of `label` under `home`.
  virtual std::filesystem::path agentFile(std::string_view label) const = 0;

  // True when the agent file of either label exists.
  bool installed() const;

  // True when this agent is set up to run this executable with this configuration directory at
  // login. Throws when the agent file exists but cannot be decoded.
  virtual bool startsAtLogin() const = 0;

  // Reads back the agent file of `label`: nothing when it does not exist; read and decoding
  // failures are thrown.
  std::optional<Agent> readAgent(std::string_view label) const;

  // Stops and unloads the agent of `label` when the service manager has it loaded. Throws
  // "Cannot stop the existing connector service." when that fails.
  virtual void unload(std::string_view label) const = 0;

  // Writes and starts this system's agent running `executable` "start" "--cloudflared"
  // `cloudflared`, after taking both agents down and, when `stopExistingConnector`, stopping a
  // proven connector that runs in a terminal. Removes the earlier edition's agent file last.
  // The first failure is thrown and later steps are not taken.
  void install(const std::filesystem::path &cloudflared, bool stopExistingConnector) const;

  // Unloads and removes both agents, this system's first. Throws the first failure.
  void uninstall() const;

  // Two lines: the agent's title and state, then "Logs: " and the error log's path; or
  // "Connector is not installed.".
  std::string status() const;

  // Runs `run` up to `attempts` times, sleeping `retryDelay` seconds between failed attempts.
  // Errors of `run` are thrown at once. After the last failed attempt throws "Cannot register
  // the connector with " + `manager` + " (exit N). " + its trimmed output.
  static void bootstrap(double retryDelay, int attempts, const std::function<CommandResult()> &run,
                        const std::function<void(double)> &sleep,
                        std::string_view manager = "launchd");

  // Stops the connector named by "running.pid" when, and only when, it is a process of this
  // user whose command line is a connector's: SIGTERM, then up to 100 probes 0.1 s apart. An
  // absent or unusable PID file, or a process that is gone, stops nothing and is no error.
  void stopForegroundConnector() const;

  // True for "…/PellumConnector" "start" …, and for "…/node(js)" "…/main.js" "start" … when the
  // "package.json" two levels above main.js names "pellum-cli".
  static bool isConnectorCommand(const std::vector<std::string> &arguments);

protected:
  LaunchService(ConfigStore store, std::filesystem::path executable, Settings settings,
                std::filesystem::path defaultManager);

  // Runs the service manager's control program, output and errors captured together.
  CommandResult runManager(const std::vector<std::string> &arguments) const;
  const std::filesystem::path &manager() const { return manager_; }
  uid_t uid() const { return uid_; }
  void sleep(double seconds) const { sleep_(seconds); }

  // The install steps that differ between service managers.
  virtual void checkAvailable() const {}
  virtual std::string definitionText(const std::filesystem::path &cloudflared) const = 0;
  virtual void enable() const = 0;
  virtual CommandResult bootstrapAttempt() const = 0;
  virtual std::string_view managerName() const = 0;
  // Decodes the bytes of an agent file of this service manager.
  virtual Agent decodeAgentBytes(std::string_view bytes) const = 0;
  // Removes the agent file of `label` when it exists.
  virtual void removeAgent(std::string_view label) const;
  // The state shown after the title, or "not loaded".
  virtual std::string loadedState(std::string_view label) const = 0;
  // The program named by the agent file of `label`, empty when none. Throws read and decoding
  // failures.
  std::string agentProgram(std::string_view label) const;

  // True when `path` is an executable regular file.
  static bool isExecutableFile(const std::filesystem::path &path);
  // Bytes of an agent file; read failures are thrown.
  static std::string readAgentBytes(const std::filesystem::path &file);

private:
  ConfigStore store_;
  std::filesystem::path executable_;
  std::filesystem::path home_;
  uid_t uid_;
  std::filesystem::path manager_;
  std::filesystem::path ps_;
  std::function<void(double)> sleep_;
};

} // namespace pellum
