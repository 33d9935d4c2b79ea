#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellum {

// JSON-RPC 2.0 answers put together from text, so that an id goes back exactly as its sender
// wrote it and a result exactly as the server wrote it. Used by the bridge's MCP endpoint and
// by stdio sessions.

// Error codes the connector answers with.
inline constexpr int kRpcMethodNotFound = -32601;
inline constexpr int kRpcInternalError = -32603;

// JSON from a peer that nests arrays and objects deeper than this is refused: nothing sane
// nests so far, and passing it on would recurse once per level.
inline constexpr std::size_t kRpcMaxNesting = 512;

// {"jsonrpc":"2.0","id":`id`,"result":`result`}; both are JSON texts, copied as they are.
std::string rpcResult(std::string_view id, std::string_view result);

// {"jsonrpc":"2.0","id":`id`,"error":{"code":`code`,"message":`message`}}; `id` is JSON text,
// `message` plain text that is quoted here.
std::string rpcError(std::string_view id, int code, std::string_view message);

} // namespace pellum
