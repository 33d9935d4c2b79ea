// Feeds arbitrary bytes, as a stdio server's output cut into reads of a size chosen by the first
// byte, to the session's line handling: framing, nesting, ids, answers and server requests. Every
// line taken must be read the way a full parser reads it, and every refusal written back must be
// one JSON object on one line.
#include "stdio/ChildOutput.h"
#include "support/JsonText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

using nlohmann::json;

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The member as the text scanner finds it must be what the parser made of the whole line.
void sameMember(const json &parsed, std::string_view line, const char *name) {
  auto raw = pellum::jsonMember(line, name);
  auto found = parsed.find(name);
  require(raw.has_value() == (found != parsed.end()));
  if (raw) {
    require(json::parse(raw->begin(), raw->end()) == *found);
  }
}

bool check(std::string_view line) {
  std::optional<pellum::ChildMessage> classified = pellum::ChildOutput::classify(line);
  if (!classified) {
    return false;
  }
  pellum::ChildMessage &message = *classified;
  json parsed = json::parse(line.begin(), line.end());
  require(parsed.is_object());
  for (const char *name : {"id", "method", "result"}) {
    sameMember(parsed, line, name);
  }
  switch (message.kind) {
  case pellum::ChildMessage::Kind::answer:
    require(parsed["id"].is_number_integer() && json(message.id) == parsed["id"]);
    require(message.resultOffset + message.resultLength <= line.size());
    require((message.resultLength != 0) == parsed.contains("result"));
    break;
  case pellum::ChildMessage::Kind::refusal: {
    std::string_view text = message.refusal;
    require(text.ends_with('\n') && text.find('\n') == text.size() - 1);
    json refusal = json::parse(text.substr(0, text.size() - 1));
    require(refusal["id"] == parsed["id"] && refusal["error"]["code"] == -32601);
    break;
  }
  case pellum::ChildMessage::Kind::dropped:
    break;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t step = static_cast<std::size_t>(data[0]) + 1;
  std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
  pellum::ChildOutput output;
  while (!input.empty()) {
    std::string_view chunk = input.substr(0, std::min(step, input.size()));
    input.remove_prefix(chunk.size());
    if (!output.feed(chunk, check)) {
      break;
    }
    require(output.buffered() <= pellum::ChildOutput::kLineLimit);
  }
  return 0;
}
