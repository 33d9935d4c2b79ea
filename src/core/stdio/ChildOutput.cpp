#include "stdio/ChildOutput.h"

#include "support/JsonRpc.h"
#include "support/JsonText.h"

#include <nlohmann/json.hpp>

namespace pellum {

std::optional<ChildMessage> ChildOutput::classify(std::string_view line) {
  if (line.size() > kLineLimit || jsonNesting(line) > kRpcMaxNesting ||
      !nlohmann::json::accept(line.begin(), line.end())) {
    return std::nullopt;
  }
  if (!jsonIsObject(line)) {
    return std::nullopt; // an empty line, or JSON other than an object
  }
  ChildMessage message;
  auto id = jsonMember(line, "id");
  if (auto method = jsonMember(line, "method"); method && method->starts_with('"')) {
    // From the server to the client: requests are refused, notifications dropped.
    if (id) {
      message.kind = ChildMessage::Kind::refusal;
      std::string name = nlohmann::json::parse(method->begin(), method->end()).get<std::string>();
      message.refusal =
          rpcError(jsonOnOneLine(*id), kRpcMethodNotFound, "Client method not supported: " + name) +
          '\n';
    }
    return message;
  }
  std::optional<std::int64_t> number = id ? jsonInteger(*id) : std::nullopt;
  if (!number) {
    return message;
  }
  message.kind = ChildMessage::Kind::answer;
  message.id = *number;
  if (auto result = jsonMember(line, "result")) {
    message.resultOffset = static_cast<std::size_t>(result->data() - line.data());
    message.resultLength = result->size();
  }
  return message;
}

bool ChildOutput::feed(std::string_view chunk,
                       const std::function<bool(std::string_view line)> &onLine) {
  // Only the new bytes can hold a line feed: what was buffered had none.
  std::size_t scanFrom = buffer_.size();
  buffer_.append(chunk);
  std::size_t lineStart = 0;
  bool going = true;
  for (std::size_t end; going && (end = buffer_.find('\n', scanFrom)) != std::string::npos;) {
    std::string_view line(buffer_.data() + lineStart, end - lineStart);
    lineStart = scanFrom = end + 1;
    going = onLine(line);
  }
  buffer_.erase(0, lineStart);
  return going && buffer_.size() <= kLineLimit;
}

} // namespace pellum
