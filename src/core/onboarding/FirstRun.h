#pragma once

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"
#include "onboarding/FirstRunInspection.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pellum {

class LaunchService;

// What the app decides on each start from the files on disk alone, and the app's own records in
// the configuration directory: "mac-app.json" (the pairing the app owns and whether its setup
// finished) and "mac-installation-id". Static operations only; each blocks on file I/O and may
// run on any thread.
class FirstRun {
public:
  FirstRun() = delete;

  // Finds the pairing to use: `explicitDirectory`, then the directories named by the agent
  // files of this system and of the command-line edition, then ~/.pellum and ~/.kestrin; the
  // first that holds "config.json" decides. A pairing is offered for conversion when a
  // command-line agent points at it or the app does not own it; otherwise it is `pairing` while
  // its setup is unfinished, else `ready`. Without any "config.json": `loginRequired` with a
  // store for the first candidate. Throws the errors of reading an agent file and of
  // ConfigStore::load.
  static FirstRunInspection inspect(const std::filesystem::path &home,
                                    const std::optional<std::filesystem::path> &explicitDirectory);
  // The same, reading the agent files through `agents`, whose home directory is the home.
  static FirstRunInspection inspect(const LaunchService &agents,
                                    const std::optional<std::filesystem::path> &explicitDirectory);

  // True when "mac-app.json" names this record's `id` and `endpoint`. Never fails.
  static bool isOwned(const ConfigStore &store, const DeviceConfig &device);
  // True when "mac-app.json" says "setupComplete": false. Never fails.
  static bool isPending(const ConfigStore &store);
  // The "accountId" of an owned pairing; nothing otherwise. Never fails.
  static std::optional<std::string> accountID(const ConfigStore &store, const DeviceConfig &device);

  // Writes "mac-app.json" for `device`. Without `accountID` the one already recorded for this
  // record is kept. Throws file errors.
  static void markOwned(const ConfigStore &store, const DeviceConfig &device, bool complete,
                        const std::optional<std::string> &accountID);

  // The identifier of this installation from "mac-installation-id", created on first need as an
  // upper-case UUID. An existing file is only read; one that does not hold a UUID throws
  // ConnectorError("Invalid Mac setup identifier. …", 400) and stays as it is.
  static std::string installationID(const ConfigStore &store);

  // A loopback port for a new pairing's bridge: 47831 when it can be bound, else any free one.
  // The port is not held. Throws ConnectorError (400) when no port can be found.
  static std::uint16_t availableBridgePort();
};

} // namespace pellum
