#pragma once

#include "config/DeviceConfig.h"
#include "platform/Environment.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// The configuration directory shared by the connector and the app. A plain value holding one
// directory; it caches nothing, so every read sees the files as they are now. All operations
// block on file I/O.
class ConfigStore {
public:
  // Uses `directory` when given, else PELLUM_CONFIG_DIR, KESTRIN_CONFIG_DIR, ~/.pellum or
  // ~/.kestrin (whichever holds the device record). A relative variable is made absolute
  // against the current directory, or kept as written when that directory is gone (its first use
  // then fails the ordinary way). Never fails; touches nothing but existence tests.
  explicit ConfigStore(std::optional<std::filesystem::path> directory = std::nullopt);

  const std::filesystem::path &directory() const { return directory_; }
  // directory()/"config.json".
  std::filesystem::path file() const { return directory_ / "config.json"; }

  // Creates the directory if needed and sets its mode to 0700. Platform errors pass through.
  void prepare() const;

  // Reads, decodes and validates "config.json". Throws the not-enrolled ConnectorError when it
  // does not exist.
  DeviceConfig load() const;

  // Validates, then writes "config.json" pretty-printed with sorted keys, privately.
  void save(const DeviceConfig &config) const;

  // The process environment completed by "secrets.env" (the process environment wins).
  Environment environment() const;

private:
  std::filesystem::path directory_;
};

// The one way files are written: a create-exclusive 0600 temporary sibling, written, flushed,
// renamed onto `destination`, the directory flushed; the temporary is always removed.
void privateWrite(std::string_view bytes, const std::filesystem::path &destination);

} // namespace pellum
