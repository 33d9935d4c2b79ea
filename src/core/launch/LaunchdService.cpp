#include "launch/LaunchdService.h"

#include "launch/PropertyList.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Unicode.h"

namespace pellum {

LaunchdService::LaunchdService(ConfigStore store, std::filesystem::path executable,
                               Settings settings)
    : LaunchService(std::move(store), std::move(executable), std::move(settings),
                    "/bin/launchctl") {}

std::string LaunchdService::definition(const std::filesystem::path &executable,
                                       const std::filesystem::path &cloudflared,
                                       const std::filesystem::path &directory,
                                       const std::filesystem::path &home) {
  // Keys in sorted order, as launchd's own tools write them.
  PropertyList agent = PropertyList::dictionary();
  agent.setStringDictionary("EnvironmentVariables", {{"HOME", home.string()},
                                                     {"PATH", std::string(kAgentSearchPath)},
                                                     {"PELLUM_CONFIG_DIR", directory.string()}});
  PropertyList keepAlive = PropertyList::dictionary();
  keepAlive.setBoolean("SuccessfulExit", false);
  agent.setDictionary("KeepAlive", std::move(keepAlive));
  agent.setString("Label", label);
  agent.setString("ProcessType", "Background");
  agent.setStrings("ProgramArguments",
                   {executable.string(), "start", "--cloudflared", cloudflared.string()});
  agent.setBoolean("RunAtLoad", true);
  agent.setString("StandardErrorPath", (directory / "service-error.log").string());
  agent.setString("StandardOutPath", (directory / "service.log").string());
  agent.setInteger("ThrottleInterval", 30);
  agent.setString("WorkingDirectory", home.string());
  return agent.xml();
}

bool LaunchdService::isConfiguredAtLogin(const PropertyList &agent,
                                         std::string_view disabledServices,
                                         const std::filesystem::path &executable,
                                         const std::filesystem::path &directory) {
  if (agent.string("Label") != label || agent.boolean("RunAtLoad") != true) {
    return false;
  }
  std::optional<std::vector<std::string>> arguments = agent.strings("ProgramArguments");
  if (!arguments || arguments->size() < 2 || (*arguments)[0] != executable.string() ||
      (*arguments)[1] != "start") {
    return false;
  }
  std::optional<Environment> environment = agent.stringDictionary("EnvironmentVariables");
  if (!environment) {
    return false;
  }
  auto configDirectory = environment->find("PELLUM_CONFIG_DIR");
  if (configDirectory == environment->end() || configDirectory->second != directory.string()) {
    return false;
  }
  std::string quotedLabel = "\"" + std::string(label) + "\"";
  for (std::string_view line : nonEmptyLines(disabledServices)) {
    std::size_t arrow = line.find("=>");
    if (arrow == std::string_view::npos || line.find("=>", arrow + 2) != std::string_view::npos) {
      continue;
    }
    if (trimBlanks(line.substr(0, arrow)) != quotedLabel) {
      continue;
    }
    std::string_view value = trimWhitespace(line.substr(arrow + 2));
    if (value.starts_with("disabled") || value.starts_with("true")) {
      return false;
    }
    if (value.starts_with("enabled") || value.starts_with("false")) {
      return true;
    }
  }
  std::optional<bool> disabled = agent.boolean("Disabled");
  return disabled ? !*disabled : true;
}

LaunchService::Agent LaunchdService::decodeAgent(std::string_view bytes) {
  PropertyList list = PropertyList::parse(bytes);
  Agent agent;
  agent.programArguments = list.strings("ProgramArguments").value_or(std::vector<std::string>{});
  agent.environmentVariables =
      list.stringDictionary("EnvironmentVariables").value_or(Environment{});
  return agent;
}

std::filesystem::path LaunchdService::agentFile(std::string_view agentLabel) const {
  return home() / "Library" / "LaunchAgents" / (std::string(agentLabel) + ".plist");
}

bool LaunchdService::startsAtLogin() const {
  std::string bytes;
  try {
    bytes = readAgentBytes(agentFile(label));
  } catch (const std::exception &) {
    return false;
  }
  PropertyList agent = PropertyList::parse(bytes);
  if (!agent.isDictionary() || !isExecutableFile(executable())) {
    return false;
  }
  CommandResult disabled = runManager({"print-disabled", domain()});
  if (!disabled.succeeded()) {
    return false;
  }
  return isConfiguredAtLogin(agent, repairUTF8(disabled.outputBytes), executable(),
                             store().directory());
}

void LaunchdService::unload(std::string_view agentLabel) const {
  CommandResult loaded = runManager({"print", target(agentLabel)});
  if (!loaded.succeeded()) {
    return;
  }
  CommandResult bootout = runManager({"bootout", target(agentLabel)});
  if (!bootout.succeeded()) {
    throw ConnectorError("Cannot stop the existing connector service.", 400);
  }
}

std::string LaunchdService::definitionText(const std::filesystem::path &cloudflared) const {
  return definition(executable(), cloudflared, store().directory(), home());
}

void LaunchdService::enable() const {
  CommandResult result = runManager({"enable", target(label)});
  if (!result.succeeded()) {
    throw ConnectorError("Cannot enable connector at login.", 400);
  }
}

CommandResult LaunchdService::bootstrapAttempt() const {
  return runManager({"bootstrap", domain(), agentFile(label).string()});
}

std::string LaunchdService::loadedState(std::string_view agentLabel) const {
  std::string output = repairUTF8(runManager({"print", target(agentLabel)}).outputBytes);
  for (std::string_view line : nonEmptyLines(output)) {
    std::string_view trimmed = trimBlanks(line);
    if (trimmed.starts_with("state =")) {
      return std::string(trimmed);
    }
  }
  return "not loaded";
}

std::string LaunchdService::domain() const { return "gui/" + std::to_string(uid()); }

std::string LaunchdService::target(std::string_view agentLabel) const {
  return domain() + "/" + std::string(agentLabel);
}

} // namespace pellum
