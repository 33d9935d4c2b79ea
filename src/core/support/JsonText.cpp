#include "support/JsonText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace pellum {

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skipSpace(std::string_view text, std::size_t &at) {
  while (at < text.size() && isJsonSpace(text[at])) {
    ++at;
  }
}

// From the opening quote at `at` to just past the closing one.
void skipString(std::string_view text, std::size_t &at) {
  for (++at; at < text.size(); ++at) {
    if (text[at] == '\\') {
      ++at;
    } else if (text[at] == '"') {
      ++at;
      return;
    }
  }
}

// Past one value starting at `at`.
void skipValue(std::string_view text, std::size_t &at) {
  if (at >= text.size()) {
    return;
  }
  char first = text[at];
  if (first == '"') {
    skipString(text, at);
    return;
  }
  if (first != '{' && first != '[') {
    while (at < text.size() && !isJsonSpace(text[at]) && text[at] != ',' && text[at] != '}' &&
           text[at] != ']') {
      ++at;
    }
    return;
  }
  std::size_t depth = 0;
  while (at < text.size()) {
    char c = text[at];
    if (c == '"') {
      skipString(text, at);
      continue;
    }
    ++at;
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return;
    }
  }
}

bool sameName(std::string_view quoted, std::string_view name) {
  std::string_view raw = quoted.substr(1, quoted.size() >= 2 ? quoted.size() - 2 : 0);
  if (raw.find('\\') == std::string_view::npos) {
    return raw == name;
  }
  nlohmann::json decoded = nlohmann::json::parse(quoted.begin(), quoted.end(), nullptr, false);
  return decoded.is_string() && decoded.get_ref<const std::string &>() == name;
}

// Past a byte order mark, which parsers skip, and white space.
std::size_t firstToken(std::string_view text) {
  std::size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  skipSpace(text, at);
  return at;
}

} // namespace

bool jsonIsObject(std::string_view text) {
  std::size_t at = firstToken(text);
  return at < text.size() && text[at] == '{';
}

std::optional<std::string_view> jsonMember(std::string_view object, std::string_view name) {
  std::size_t at = firstToken(object);
  if (at >= object.size() || object[at] != '{') {
    return std::nullopt;
  }
  ++at;
  std::optional<std::string_view> found;
  for (;;) {
    skipSpace(object, at);
    if (at >= object.size() || object[at] != '"') {
      return found;
    }
    std::size_t keyStart = at;
    skipString(object, at);
    std::string_view key = object.substr(keyStart, at - keyStart);
    skipSpace(object, at);
    if (at >= object.size() || object[at] != ':') {
      return found;
    }
    ++at;
    skipSpace(object, at);
    std::size_t valueStart = at;
    skipValue(object, at);
    if (sameName(key, name)) {
      found = object.substr(valueStart, at - valueStart);
    }
    skipSpace(object, at);
    if (at >= object.size() || object[at] != ',') {
      return found;
    }
    ++at;
  }
}

std::size_t jsonNesting(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::string jsonOnOneLine(std::string_view text) {
  std::string line(text);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

std::optional<std::int64_t> jsonInteger(std::string_view token) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc() || end != token.data() + token.size() || token.empty()) {
    return std::nullopt;
  }
  return value;
}

} // namespace pellum
