// The "secrets.env" reader: shell-like assignments of local-service credentials.

#include "config/SecretsEnv.h"
#include "support/ConnectorError.h"

#include <vector>

namespace pellum {

namespace {

[[noreturn]] void fail(const char *message) { throw ConnectorError(message, 400); }

// Length of the line break starting at `at`, or 0. Every one of LF, VT, FF, CR, NEL, LS and PS
// ends a line on its own, so CR LF yields an empty line in between.
std::size_t lineBreakLength(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char first = byte(at);
  if (first >= 0x0a && first <= 0x0d) {
    return 1;
  }
  if (first == 0xc2 && at + 1 < text.size() && byte(at + 1) == 0x85) {
    return 2;
  }
  if (first == 0xe2 && at + 2 < text.size() && byte(at + 1) == 0x80 &&
      (byte(at + 2) == 0xa8 || byte(at + 2) == 0xa9)) {
    return 3;
  }
  return 0;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = lineBreakLength(text, at);
    if (length == 0) {
      ++at;
      continue;
    }
    lines.push_back(text.substr(start, at - start));
    at += length;
    start = at;
  }
  lines.push_back(text.substr(start));
  return lines;
}

// Horizontal white space: tab and the Unicode space separators (category Zs).
bool isHorizontalSpace(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) ||
         c == 0x202f || c == 0x205f || c == 0x3000;
}

// Byte length of the horizontal space at the front of `text`, or 0.
std::size_t leadingSpace(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (b(0) < 0x80) {
    return isHorizontalSpace(b(0)) ? 1 : 0;
  }
  if ((b(0) & 0xe0) == 0xc0 && text.size() >= 2) {
    return isHorizontalSpace(((b(0) & 0x1fu) << 6) | (b(1) & 0x3fu)) ? 2 : 0;
  }
  if ((b(0) & 0xf0) == 0xe0 && text.size() >= 3) {
    char32_t c = ((b(0) & 0x0fu) << 12) | ((b(1) & 0x3fu) << 6) | (b(2) & 0x3fu);
    return isHorizontalSpace(c) ? 3 : 0;
  }
  return 0;
}

// Byte length of the horizontal space at the end of `text`, or 0.
std::size_t trailingSpace(std::string_view text) {
  for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
    std::string_view tail = text.substr(text.size() - length);
    auto lead = static_cast<unsigned char>(tail.front());
    if ((lead & 0xc0) != 0x80) {
      return leadingSpace(tail) == length ? length : 0;
    }
  }
  return 0;
}

std::string_view trim(std::string_view text) {
  while (std::size_t length = leadingSpace(text)) {
    text.remove_prefix(length);
  }
  while (std::size_t length = trailingSpace(text)) {
    text.remove_suffix(length);
  }
  return text;
}

void replaceAll(std::string &text, std::string_view from, std::string_view to) {
  std::string result;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(from, start)) != std::string::npos;
       start = at + from.size()) {
    result.append(text, start, at - start).append(to);
  }
  result.append(text, start);
  text = std::move(result);
}

} // namespace

Environment parseEnvironment(std::string_view text) {
  Environment result;
  std::vector<std::string_view> lines = splitLines(text);
  for (std::size_t index = 0; index < lines.size(); ++index) {
    std::string_view line = trim(lines[index]);
    if (line.empty() || line.front() == '#') {
      continue;
    }
    if (line.starts_with("export ")) {
      line = trim(line.substr(7));
    }
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      fail("Invalid secrets.env entry.");
    }
    std::string_view name = trim(line.substr(0, equals));
    std::string_view raw = trim(line.substr(equals + 1));
    if (!isEnvironmentVariableName(name)) {
      fail("Invalid secrets.env variable name.");
    }
    if (raw.empty() || (raw.front() != '"' && raw.front() != '\'' && raw.front() != '`')) {
      result[std::string(name)] = std::string(trim(raw.substr(0, raw.find('#'))));
      continue;
    }
    char quote = raw.front();
    std::string rest(raw.substr(1));
    // Only the newest line can hold the closing quote, so each line is searched once.
    std::size_t close = rest.find(quote);
    while (close == std::string::npos && index + 1 < lines.size()) {
      std::size_t searchFrom = rest.size() + 1;
      rest.append("\n").append(lines[++index]);
      close = rest.find(quote, searchFrom);
    }
    if (close == std::string::npos) {
      fail("Unterminated secrets.env quoted value.");
    }
    std::string_view after = trim(std::string_view(rest).substr(close + 1));
    if (!after.empty() && after.front() != '#') {
      fail("Invalid quoted secrets.env value.");
    }
    std::string value = rest.substr(0, close);
    if (quote == '"') {
      replaceAll(value, "\\n", "\n");
      replaceAll(value, "\\r", "\r");
    }
    result[std::string(name)] = std::move(value);
  }
  return result;
}

} // namespace pellum
