#include "platform/Environment.h"

#include "support/Ascii.h"

#include <cstring>

extern char **environ;

namespace pellum {

Environment processEnvironment() {
  Environment result;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char *text = *entry;
    const char *equals = std::strchr(text, '=');
    if (equals == nullptr) {
      continue;
    }
    // The first definition of a name is the one getenv() sees.
    result.emplace(std::string(text, equals), std::string(equals + 1));
  }
  return result;
}

bool isEnvironmentVariableName(std::string_view text) {
  if (text.empty() || !(isAlpha(text.front()) || text.front() == '_')) {
    return false;
  }
  for (char c : text) {
    if (!isAlpha(c) && !isDigit(c) && c != '_') {
      return false;
    }
  }
  return true;
}

} // namespace pellum
