#pragma once

#include "FakeState.h"
#include "TempDir.h"

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"
#include "launch/LaunchService.h"
#include "launch/LaunchdService.h"
#include "launch/PropertyList.h"
#include "launch/SystemdService.h"
#include "launch/UnitFile.h"
#include "onboarding/FirstRunPhase.h"

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace pellum {

inline void PrintTo(FirstRunPhase phase, std::ostream *out) {
  constexpr const char *kNames[] = {"checking",  "conversionOffer", "loginRequired",
                                    "signingIn", "converting",      "pairing",
                                    "ready",     "blocked",         "declined"};
  *out << kNames[static_cast<int>(phase)];
}

} // namespace pellum

namespace pellum::test {

// The two agent-file formats that the launch backends read.
enum class AgentFormat { propertyList, unitFile };

inline const char *formatName(AgentFormat format) {
  return format == AgentFormat::propertyList ? "property list" : "unit file";
}

// A launch service of `format` for `home`, used to read and write agent files.
inline std::unique_ptr<LaunchService>
launchService(AgentFormat format, const std::filesystem::path &home, LaunchSettings settings = {}) {
  settings.home = home;
  ConfigStore store(home / ".pellum");
  if (format == AgentFormat::propertyList) {
    return std::make_unique<LaunchdService>(store, std::filesystem::path(), settings);
  }
  return std::make_unique<SystemdService>(store, std::filesystem::path(), settings);
}

// Writes the agent file of `label` running `program` with `environment`.
inline void writeAgent(AgentFormat format, const std::filesystem::path &home,
                       std::string_view label, const std::vector<std::string> &program,
                       const Environment &environment) {
  std::filesystem::path file = launchService(format, home)->agentFile(label);
  std::filesystem::create_directories(file.parent_path());
  std::string text;
  if (format == AgentFormat::propertyList) {
    PropertyList list = PropertyList::dictionary();
    list.setString("Label", label);
    list.setStrings("ProgramArguments", program);
    list.setStringDictionary("EnvironmentVariables", environment);
    text = list.xml();
  } else {
    text = "[Unit]\nDescription=Connector\n\n[Service]\nExecStart=";
    for (const std::string &word : program) {
      text += UnitFile::quoteCommandWord(word) + " ";
    }
    for (const auto &[name, value] : environment) {
      text += "\nEnvironment=" + UnitFile::quoteAssignment(name, value);
    }
    text += "\n";
  }
  writeText(file, text);
}

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
