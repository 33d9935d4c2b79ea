#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pellum {

// Registers the app as the handler of "pellum:" URLs for the user: a desktop entry
// "org.zendrel.pellum.desktop" in $XDG_DATA_HOME/applications that runs the app with the URL,
// and the default handler of x-scheme-handler/pellum in $XDG_CONFIG_HOME/mimeapps.list. Blocks
// on file I/O; any thread.
class DesktopEntry {
public:
  static constexpr const char *kFileName = "org.zendrel.pellum.desktop";

  // The entry's text for the app executable `executable`.
  static std::string text(const std::filesystem::path &executable);

  // `mimeapps` (the text of a mimeapps.list, possibly empty) with the app as default handler of
  // x-scheme-handler/pellum; every other line is kept.
  static std::string withDefaultHandler(const std::string &mimeapps);

  // Writes the entry and the default handler when they differ from what is there. `dataHome`
  // and `configHome` default to the XDG directories of `home`. Throws the file system's errors.
  static void install(const std::filesystem::path &executable, const std::filesystem::path &home,
                      std::optional<std::filesystem::path> dataHome = std::nullopt,
                      std::optional<std::filesystem::path> configHome = std::nullopt);
};

} // namespace pellum
