#include "launch/SystemdService.h"

#include "launch/UnitFile.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Files.h"
#include "support/Unicode.h"

#include <algorithm>
#include <system_error>

namespace pellum {

namespace {

constexpr std::string_view kDefaultTarget = "default.target";

std::string unitName(std::string_view label) { return std::string(label) + ".service"; }

std::string_view firstLine(std::string_view text) {
  std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    line.remove_prefix(1);
  }
  return line;
}

} // namespace

SystemdService::SystemdService(ConfigStore store, std::filesystem::path executable,
                               Settings settings)
    : LaunchService(std::move(store), std::move(executable), std::move(settings),
                    "/usr/bin/systemctl") {}

std::string SystemdService::definition(const std::filesystem::path &executable,
                                       const std::filesystem::path &cloudflared,
                                       const std::filesystem::path &directory,
                                       const std::filesystem::path &home) {
  std::string configDirectory = absoluteLexicalPath(directory).string();
  std::string homeDirectory = absoluteLexicalPath(home).string();
  std::string text = "[Unit]\nDescription=Pellum connector\n\n[Service]\nExecStart=";
  text += UnitFile::quoteCommandWord(absoluteLexicalPath(executable).string()) + " " +
          UnitFile::quoteCommandWord("start") + " " + UnitFile::quoteCommandWord("--cloudflared") +
          " " + UnitFile::quoteCommandWord(absoluteLexicalPath(cloudflared).string()) + "\n";
  text += "Environment=" + UnitFile::quoteAssignment("HOME", homeDirectory) + " " +
          UnitFile::quoteAssignment("PATH", kAgentSearchPath) + " " +
          UnitFile::quoteAssignment("PELLUM_CONFIG_DIR", configDirectory) + "\n";
  text += "WorkingDirectory=" + UnitFile::pathValue(homeDirectory) + "\n";
  // Restarted after a failed exit only, at most once every 30 seconds.
  text += "Restart=on-failure\nRestartSec=30\n";
  text += "StandardOutput=append:" +
          UnitFile::pathValue((std::filesystem::path(configDirectory) / "service.log").string()) +
          "\n";
  text +=
      "StandardError=append:" +
      UnitFile::pathValue((std::filesystem::path(configDirectory) / "service-error.log").string()) +
      "\n";
  text += "\n[Install]\nWantedBy=" + std::string(kDefaultTarget) + "\n";
  return text;
}

bool SystemdService::isConfiguredAtLogin(const UnitFile &unit, std::string_view isEnabledOutput,
                                         const std::filesystem::path &executable,
                                         const std::filesystem::path &directory) {
  std::vector<std::string> command = unit.execStart();
  if (command.size() < 2 || command[0] != absoluteLexicalPath(executable).string() ||
      command[1] != "start") {
    return false;
  }
  Environment environment = unit.environment();
  auto configDirectory = environment.find("PELLUM_CONFIG_DIR");
  if (configDirectory == environment.end() ||
      configDirectory->second != absoluteLexicalPath(directory).string()) {
    return false;
  }
  std::vector<std::string> wantedBy = unit.wantedBy();
  if (std::find(wantedBy.begin(), wantedBy.end(), kDefaultTarget) == wantedBy.end()) {
    return false;
  }
  return firstLine(isEnabledOutput) == "enabled";
}

LaunchService::Agent SystemdService::decodeAgent(std::string_view bytes) {
  UnitFile unit = UnitFile::parse(bytes);
  return Agent{unit.execStart(), unit.environment()};
}

std::filesystem::path SystemdService::agentFile(std::string_view agentLabel) const {
  return home() / ".config" / "systemd" / "user" / unitName(agentLabel);
}

bool SystemdService::startsAtLogin() const {
  std::string bytes;
  try {
    bytes = readAgentBytes(agentFile(label));
  } catch (const std::exception &) {
    return false;
  }
  if (!isExecutableFile(executable())) {
    return false;
  }
  CommandResult enabled = runManager({"--user", "is-enabled", unitName(label)});
  if (!enabled.succeeded()) {
    return false;
  }
  return isConfiguredAtLogin(UnitFile::parse(bytes), repairUTF8(enabled.outputBytes), executable(),
                             store().directory());
}

std::map<std::string, std::string> SystemdService::unitState(std::string_view agentLabel) const {
  CommandResult result = runManager({"--user", "show", "-p", "LoadState", "-p", "ActiveState", "-p",
                                     "SubState", unitName(agentLabel)});
  std::map<std::string, std::string> state;
  if (!result.succeeded()) {
    return state;
  }
  for (std::string_view line : nonEmptyLines(result.outputBytes)) {
    std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      state[std::string(line.substr(0, equals))] = repairUTF8(firstLine(line.substr(equals + 1)));
    }
  }
  return state;
}

void SystemdService::unload(std::string_view agentLabel) const {
  if (unitState(agentLabel)["LoadState"] != "loaded") {
    return;
  }
  if (!runManager({"--user", "stop", unitName(agentLabel)}).succeeded()) {
    throw ConnectorError("Cannot stop the existing connector service.", 400);
  }
}

void SystemdService::checkAvailable() const {
  bool reachable = false;
  try {
    reachable = runManager({"--user", "show-environment"}).succeeded();
  } catch (const std::system_error &) {
    // No systemctl at all: the same answer for the user.
  }
  if (!reachable) {
    throw ConnectorError("No systemd user service manager can be reached here, so the connector "
                         "cannot start at login; run PellumConnector start instead.",
                         400);
  }
}

std::string SystemdService::definitionText(const std::filesystem::path &cloudflared) const {
  return definition(executable(), cloudflared, store().directory(), home());
}

void SystemdService::enable() const {
  // The manager reads the rewritten unit only after a reload.
  if (!runManager({"--user", "daemon-reload"}).succeeded() ||
      !runManager({"--user", "enable", unitName(label)}).succeeded()) {
    throw ConnectorError("Cannot enable connector at login.", 400);
  }
}

CommandResult SystemdService::bootstrapAttempt() const {
  return runManager({"--user", "restart", unitName(label)});
}

void SystemdService::removeAgent(std::string_view agentLabel) const {
  std::filesystem::path file = agentFile(agentLabel);
  if (!std::filesystem::exists(file)) {
    return;
  }
  // Its outcome does not matter: the link it would remove is removed below in any case.
  runManager({"--user", "disable", unitName(agentLabel)});
  std::filesystem::path link =
      file.parent_path() / (std::string(kDefaultTarget) + ".wants") / unitName(agentLabel);
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link))) {
    std::filesystem::remove(link);
  }
  std::filesystem::remove(file);
}

std::string SystemdService::loadedState(std::string_view agentLabel) const {
  std::map<std::string, std::string> state = unitState(agentLabel);
  if (state["LoadState"] != "loaded" || state["ActiveState"].empty()) {
    return "not loaded";
  }
  std::string text = state["ActiveState"];
  if (!state["SubState"].empty()) {
    text += " (" + state["SubState"] + ")";
  }
  return text;
}

} // namespace pellum
