// Feeds arbitrary bytes to the "secrets.env" reader: it either refuses them with its 400 error
// or yields well-named variables whose values hold no line break.
#include "config/ConfigStore.h"
#include "config/ConnectorError.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  try {
    for (const auto &[name, value] : pellum::parseEnvironment(text)) {
      check(pellum::isEnvironmentVariableName(name));
      check(value.size() <= text.size());
    }
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
  }
  return 0;
}
