#pragma once

#include "config/ConfigStore.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pellum {

// The management verbs shared by the connector's command line and the app: each call takes the
// words of one command and an optional text input, and returns one result line or throws
// (ConnectorError with status 400 for its own failures; errors of what it calls pass through).
// Keeps nothing between calls. Blocks the calling thread; one command at a time per caller.
class NativeManagement {
public:
  // `executable` is the connector program, named wherever the connector must refer to itself.
  NativeManagement(ConfigStore store, std::filesystem::path executable);

  std::string execute(const std::vector<std::string> &arguments,
                      const std::optional<std::string> &input) const;

private:
  using Words = std::vector<std::string>;

  std::string list(const DeviceConfig &config) const;

  ConfigStore store_;
  std::filesystem::path executable_;
};

} // namespace pellum
