// Feeds arbitrary bytes to the systemd unit-file reader, which never fails, and checks that
// every word it reads back is written by the quoting functions so that it reads back the same.
#include "FuzzCheck.h"
#include "launch/UnitFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using fuzzcheck::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  pellum::UnitFile unit = pellum::UnitFile::parse(text);
  unit.values("Service", "ExecStart");
  unit.wantedBy();
  unit.environment();
  for (const std::string &word : unit.execStart()) {
    std::vector<std::string> again =
        pellum::UnitFile::splitWords(pellum::UnitFile::quoteCommandWord(word), true);
    check(again.size() == 1 && again.front() == word);
  }
  // The raw input as one word, too: the writer must quote anything the reader could misread.
  if (text.find('\0') == std::string_view::npos) {
    std::vector<std::string> again =
        pellum::UnitFile::splitWords(pellum::UnitFile::quoteCommandWord(text), true);
    check(again.size() == 1 && again.front() == text);
  }
  return 0;
}
