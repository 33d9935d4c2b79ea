// Feeds arbitrary bytes to the "secrets.env" reader: it either refuses them with its 400 error
// or yields well-named variables, none longer than the text it came from.
#include "FuzzCheck.h"
#include "config/SecretsEnv.h"
#include "support/ConnectorError.h"

#include <cstdint>
#include <string_view>

using fuzzcheck::check;

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
