#include "launch/UnitFile.h"

#include "support/Ascii.h"
#include "support/ConnectorError.h"

#include <cstdint>

namespace pellum {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

void appendUTF8(std::string &out, std::uint32_t codepoint) {
  if (codepoint < 0x80) {
    out += static_cast<char>(codepoint);
  } else if (codepoint < 0x800) {
    out += static_cast<char>(0xC0 | (codepoint >> 6));
    out += static_cast<char>(0x80 | (codepoint & 0x3F));
  } else if (codepoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codepoint >> 12));
    out += static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codepoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codepoint >> 18));
    out += static_cast<char>(0x80 | ((codepoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codepoint & 0x3F));
  }
}

// Reads `count` digits of `base` at `text[position]`; -1 when they are not all there.
long long readDigits(std::string_view text, std::size_t position, std::size_t count, int base) {
  if (position + count > text.size()) {
    return -1;
  }
  long long value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    int digit = hexDigitValue(text[position + i]);
    if (digit < 0 || digit >= base) {
      return -1;
    }
    value = value * base + digit;
  }
  return value;
}

// Decodes the escape whose backslash is at `text[position]`; returns the characters consumed.
// An unknown or incomplete escape is kept as written.
std::size_t unescape(std::string_view text, std::size_t position, std::string &out) {
  if (position + 1 >= text.size()) {
    out += '\\';
    return 1;
  }
  char c = text[position + 1];
  switch (c) {
  case 'a':
    out += '\a';
    return 2;
  case 'b':
    out += '\b';
    return 2;
  case 'f':
    out += '\f';
    return 2;
  case 'n':
    out += '\n';
    return 2;
  case 'r':
    out += '\r';
    return 2;
  case 't':
    out += '\t';
    return 2;
  case 'v':
    out += '\v';
    return 2;
  case 's':
    out += ' ';
    return 2;
  case '\\':
  case '"':
  case '\'':
    out += c;
    return 2;
  default:
    break;
  }
  long long value = -1;
  std::size_t length = 0;
  if (c == 'x') {
    value = readDigits(text, position + 2, 2, 16);
    length = 4;
  } else if (c == 'u') {
    value = readDigits(text, position + 2, 4, 16);
    length = 6;
  } else if (c == 'U') {
    value = readDigits(text, position + 2, 8, 16);
    length = 10;
  } else if (c >= '0' && c <= '7') {
    value = readDigits(text, position + 1, 3, 8);
    length = 4;
  }
  if (value < 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    out += '\\';
    return 1;
  }
  if (c == 'x' || (c >= '0' && c <= '7')) {
    out += static_cast<char>(value); // a raw byte
  } else {
    appendUTF8(out, static_cast<std::uint32_t>(value));
  }
  return length;
}

std::string escapeQuoted(std::string_view text, bool command) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
    case '\\':
      out += "\\\\";
      break;
    case '"':
      out += "\\\"";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\r':
      out += "\\r";
      break;
    case '%':
      out += "%%";
      break;
    case '$':
      out += command ? "$$" : "$";
      break;
    default:
      if (byte < 0x20 || byte == 0x7F) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      } else {
        out += c;
      }
    }
  }
  out += '"';
  return out;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t position = 0;
  while (true) {
    std::size_t found = text.find(from, position);
    if (found == std::string_view::npos) {
      out.append(text.substr(position));
      return out;
    }
    out.append(text.substr(position, found - position));
    out.append(to);
    position = found + from.size();
  }
}

} // namespace

UnitFile UnitFile::parse(std::string_view text) {
  UnitFile unit;
  std::string section;
  std::string pending; // a line continued with a trailing backslash
  std::size_t position = 0;
  while (position <= text.size()) {
    std::size_t end = text.find('\n', position);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = trim(text.substr(position, end - position));
    position = end + 1;
    if (pending.empty() && (line.empty() || line.front() == '#' || line.front() == ';')) {
      continue;
    }
    if (!line.empty() && line.back() == '\\') {
      line.remove_suffix(1);
      pending.append(line);
      pending += ' ';
      if (position <= text.size()) {
        continue;
      }
    } else {
      pending.append(line);
    }
    std::string whole = std::move(pending);
    pending.clear();
    std::string_view entry = trim(whole);
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') {
      section = std::string(entry.substr(1, entry.size() - 2));
      continue;
    }
    std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    unit.assignments_.push_back({section, std::string(trim(entry.substr(0, equals))),
                                 std::string(trim(entry.substr(equals + 1)))});
  }
  return unit;
}

std::vector<std::string> UnitFile::values(std::string_view section, std::string_view key) const {
  std::vector<std::string> result;
  for (const Assignment &assignment : assignments_) {
    if (assignment.section == section && assignment.key == key) {
      result.push_back(assignment.value);
    }
  }
  return result;
}

std::vector<std::string> UnitFile::execStart() const {
  std::vector<std::string> all = values("Service", "ExecStart");
  // An empty assignment clears the list; a simple service runs the one left.
  std::vector<std::string> commands;
  for (const std::string &value : all) {
    if (value.empty()) {
      commands.clear();
    } else {
      commands.push_back(value);
    }
  }
  if (commands.empty()) {
    return {};
  }
  std::string_view command = commands.front();
  while (!command.empty() &&
         std::string_view("-@:+!").find(command.front()) != std::string_view::npos) {
    command.remove_prefix(1);
  }
  return splitWords(command, true);
}

Environment UnitFile::environment() const {
  Environment result;
  for (const std::string &value : values("Service", "Environment")) {
    if (value.empty()) {
      result.clear();
      continue;
    }
    for (const std::string &word : splitWords(value, false)) {
      std::size_t equals = word.find('=');
      if (equals == std::string::npos || equals == 0) {
        continue;
      }
      result[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
  return result;
}

std::vector<std::string> UnitFile::wantedBy() const {
  std::vector<std::string> result;
  for (const std::string &value : values("Install", "WantedBy")) {
    for (std::string &word : splitWords(value, false)) {
      result.push_back(std::move(word));
    }
  }
  return result;
}

std::string UnitFile::quoteCommandWord(std::string_view word) { return escapeQuoted(word, true); }

std::string UnitFile::quoteAssignment(std::string_view name, std::string_view value) {
  std::string assignment(name);
  assignment += '=';
  assignment.append(value);
  return escapeQuoted(assignment, false);
}

std::string UnitFile::pathValue(std::string_view path) {
  bool controls = false;
  for (char c : path) {
    auto byte = static_cast<unsigned char>(c);
    controls = controls || byte < 0x20 || byte == 0x7F;
  }
  if (path.empty() || path.front() != '/' || controls || isBlank(path.back())) {
    throw ConnectorError("The path " + std::string(path) +
                             " cannot be written to a systemd unit; use a plain absolute path.",
                         400);
  }
  return replaceAll(path, "%", "%%");
}

std::vector<std::string> UnitFile::splitWords(std::string_view value, bool command) {
  // Specifiers are expanded on the raw text before words are split.
  std::string text = replaceAll(value, "%%", "%");
  std::vector<std::string> words;
  std::size_t position = 0;
  while (true) {
    while (position < text.size() && isBlank(text[position])) {
      ++position;
    }
    if (position >= text.size()) {
      break;
    }
    std::string word;
    char quote = 0;
    while (position < text.size()) {
      char c = text[position];
      if (quote == 0 && isBlank(c)) {
        break;
      }
      if (c == '\\') {
        position += unescape(text, position, word);
        continue;
      }
      if (quote != 0 && c == quote) {
        quote = 0;
      } else if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else {
        word += c;
      }
      ++position;
    }
    words.push_back(command ? replaceAll(word, "$$", "$") : std::move(word));
  }
  return words;
}

} // namespace pellum
