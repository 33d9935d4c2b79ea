#include "support/JsonRpc.h"

#include <nlohmann/json.hpp>

namespace pellum {

std::string rpcResult(std::string_view id, std::string_view result) {
  std::string text = R"({"jsonrpc":"2.0","id":)";
  text.reserve(text.size() + id.size() + result.size() + 12);
  text += id;
  text += R"(,"result":)";
  text += result;
  text += '}';
  return text;
}

std::string rpcError(std::string_view id, int code, std::string_view message) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"error":{"code":)" +
         std::to_string(code) + R"(,"message":)" + nlohmann::json(message).dump() + "}}";
}

} // namespace pellum
