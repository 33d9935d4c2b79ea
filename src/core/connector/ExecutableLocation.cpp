#include "connector/ExecutableLocation.h"

#include "platform/ProcessArguments.h"
#include "support/Files.h"

namespace pellum {

std::filesystem::path executableLocation(const char *programName) {
  std::filesystem::path given = programName != nullptr ? programName : "";
  if (std::optional<std::filesystem::path> location = tryAbsoluteLexicalPath(given)) {
    return *location;
  }
  return runningExecutable().value_or(given);
}

} // namespace pellum
