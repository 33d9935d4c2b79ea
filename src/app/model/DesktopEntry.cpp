#include "DesktopEntry.h"

#include "config/ConfigStore.h"
#include "support/Files.h"

#include <cstdlib>
#include <sstream>

namespace pellum {

namespace {

constexpr std::string_view kScheme = "x-scheme-handler/pellum";

// A directory named by an XDG variable when it is an absolute path, else `fallback`.
std::filesystem::path xdgDirectory(const char *variable, const std::filesystem::path &fallback) {
  const char *value = std::getenv(variable);
  return value != nullptr && value[0] == '/' ? std::filesystem::path(value) : fallback;
}

// The executable as one argument of an Exec line: quoted, with the characters that the
// desktop entry format reserves inside quotes escaped.
std::string quoted(const std::string &text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$') {
      result += "\\\\";
      result += c;
    } else if (c == '\\') {
      result += "\\\\\\\\";
    } else if (c == '%') {
      result += "%%";
    } else {
      result += c;
    }
  }
  return result + "\"";
}

std::string contentOrEmpty(const std::filesystem::path &file) {
  try {
    return readFile(file, 1 << 20);
  } catch (const std::exception &) {
    return {};
  }
}

void writeIfChanged(const std::filesystem::path &file, const std::string &text) {
  if (std::filesystem::exists(file) && contentOrEmpty(file) == text) {
    return;
  }
  std::filesystem::create_directories(file.parent_path());
  privateWrite(text, file);
}

} // namespace

std::string DesktopEntry::text(const std::filesystem::path &executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Pellum\n"
         "Comment=Use the MCP servers of this computer from your AI clients\n"
         "Exec=" +
         quoted(executable.string()) +
         " %u\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "MimeType=x-scheme-handler/pellum;\n";
}

std::string DesktopEntry::withDefaultHandler(const std::string &mimeapps) {
  const std::string entry = std::string(kScheme) + "=" + kFileName;
  std::istringstream in(mimeapps);
  std::string line;
  std::string result;
  bool inDefaults = false;
  bool written = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.front() == '[') {
      if (inDefaults && !written) {
        result += entry + "\n";
        written = true;
      }
      inDefaults = line == "[Default Applications]";
    } else if (inDefaults && line.starts_with(std::string(kScheme) + "=")) {
      if (!written) {
        result += entry + "\n";
        written = true;
      }
      continue;
    }
    result += line + "\n";
  }
  if (inDefaults && !written) {
    result += entry + "\n";
    written = true;
  }
  if (!written) {
    result += "[Default Applications]\n" + entry + "\n";
  }
  return result;
}

void DesktopEntry::install(const std::filesystem::path &executable,
                           const std::filesystem::path &home,
                           std::optional<std::filesystem::path> dataHome,
                           std::optional<std::filesystem::path> configHome) {
  std::filesystem::path data =
      dataHome.value_or(xdgDirectory("XDG_DATA_HOME", home / ".local" / "share"));
  std::filesystem::path config =
      configHome.value_or(xdgDirectory("XDG_CONFIG_HOME", home / ".config"));
  writeIfChanged(data / "applications" / kFileName, text(executable));
  std::filesystem::path mimeapps = config / "mimeapps.list";
  writeIfChanged(mimeapps, withDefaultHandler(contentOrEmpty(mimeapps)));
}

} // namespace pellum
