#include "stdio/ExecutableFinder.h"

#include "platform/Command.h"
#include "platform/User.h"
#include "support/Encoding.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace pellum {

namespace {

// Decodes UTF-8, putting U+FFFD in place of every byte that does not start a valid sequence.
std::string decodeUTF8Lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string result;
  result.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); };
    std::uint8_t lead = byte(i);
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
      high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      std::uint8_t next = byte(i + k);
      valid = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
    }
    if (valid) {
      result.append(bytes.substr(i, length));
      i += length;
    } else {
      result.append(kReplacement);
      ++i;
    }
  }
  return result;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    std::size_t end = text.find(separator);
    pieces.push_back(text.substr(0, end));
    if (end == std::string_view::npos) {
      return pieces;
    }
    text.remove_prefix(end + 1);
  }
}

bool isExecutableFile(const std::string &candidate) {
  struct stat info {};
  return ::stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
         ::access(candidate.c_str(), X_OK) == 0;
}

} // namespace

const std::optional<std::string> &ExecutableFinder::shellPath() {
  static const std::optional<std::string> path = [] {
    Environment environment = processEnvironment();
    return fullPath(loginShell(environment), environment, kProbeTimeout);
  }();
  return path;
}

std::string ExecutableFinder::loginShell(const Environment &environment) {
  if (auto shell = environment.find("SHELL"); shell != environment.end()) {
    return shell->second;
  }
  if (auto shell = userLoginShell()) {
    return *shell;
  }
  return std::string(kDefaultShell);
}

std::optional<std::string> ExecutableFinder::fullPath(const std::string &shell,
                                                      const Environment &environment,
                                                      double timeout) {
  try {
    const std::string marker = std::string(kMarkerPrefix) + newUUID();
    // printf turns each \0 into a NUL byte; the shell expands $PATH itself.
    const std::string script = "printf '\\0%s\\0%s\\0' '" + marker + "' \"$PATH\"";
    CommandResult result = command(shell, {"-ilc", script}, timeout, kProbeLimit, environment);
    if (!result.succeeded()) {
      return std::nullopt;
    }
    std::string text = decodeUTF8Lossy(result.outputBytes);
    std::vector<std::string_view> pieces = split(text, '\0');
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (pieces[i] == marker) {
        if (i + 1 < pieces.size() && !pieces[i + 1].empty()) {
          return std::string(pieces[i + 1]);
        }
        return std::nullopt;
      }
    }
  } catch (...) {
    // A shell that cannot be run or talks too much tells us nothing.
  }
  return std::nullopt;
}

std::string ExecutableFinder::searchPath(const std::optional<std::string> &inherited,
                                         const std::optional<std::string> &shell) {
  std::string result;
  for (const std::optional<std::string> &part :
       {inherited, shell, std::optional<std::string>(kDefaultSearchPath)}) {
    if (!part || part->empty()) {
      continue;
    }
    if (!result.empty()) {
      result += ':';
    }
    result += *part;
  }
  return result;
}

std::optional<std::filesystem::path> ExecutableFinder::findExecutable(const std::string &name,
                                                                      const std::string &path) {
  if (name.starts_with('/')) {
    if (isExecutableFile(name)) {
      return std::filesystem::path(name);
    }
    return std::nullopt;
  }
  for (std::string_view directory : split(path, ':')) {
    if (directory.empty()) {
      continue; // an empty entry must not mean the working directory
    }
    std::string candidate = std::string(directory) + "/" + name;
    if (isExecutableFile(candidate)) {
      return std::filesystem::path(candidate);
    }
  }
  return std::nullopt;
}

} // namespace pellum
