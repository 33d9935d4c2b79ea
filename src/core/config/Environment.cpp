#include "config/Environment.h"

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

} // namespace pellum
