// The stdio MCP server that the benchmarks put under load: newline-delimited JSON-RPC on
// standard input and output, every answer at once, so that what is measured is the path in
// front of it. Answers initialize, ping, tools/list and tools/call ("echo" returns its
// arguments); notifications get no answer; other requests get "Method not found".

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

using nlohmann::json;

bool writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

json answerTo(const json &request) {
  const std::string method = request.value("method", "");
  const json &id = request["id"];
  json result;
  if (method == "initialize") {
    std::string version = "2025-06-18";
    if (auto params = request.find("params"); params != request.end() && params->is_object()) {
      version = params->value("protocolVersion", version);
    }
    result = {{"protocolVersion", version},
              {"capabilities", {{"tools", json::object()}}},
              {"serverInfo", {{"name", "fast-mcp-server"}, {"version", "1.0.0"}}}};
  } else if (method == "ping") {
    result = json::object();
  } else if (method == "tools/list") {
    result = {{"tools",
               {{{"name", "echo"},
                 {"description", "Returns its arguments."},
                 {"inputSchema", {{"type", "object"}}}}}}};
  } else if (method == "tools/call") {
    json arguments = json::object();
    if (auto params = request.find("params"); params != request.end() && params->is_object()) {
      arguments = params->value("arguments", json::object());
    }
    result = {{"content", {{{"type", "text"}, {"text", arguments.dump()}}}}};
  } else {
    return {{"jsonrpc", "2.0"},
            {"id", id},
            {"error", {{"code", -32601}, {"message", "Method not found"}}}};
  }
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

} // namespace

int main() {
  std::string buffer;
  char chunk[65536];
  for (;;) {
    ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return 0;
    }
    buffer.append(chunk, static_cast<std::size_t>(count));
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
      json request =
          json::parse(std::string_view(buffer).substr(start, end - start), nullptr, false);
      if (!request.is_object() || !request.contains("id") || !request.contains("method")) {
        continue; // notifications, answers, and lines that are not JSON
      }
      out += answerTo(request).dump();
      out += '\n';
    }
    buffer.erase(0, start);
    if (!out.empty() && !writeAll(out)) {
      return 0;
    }
  }
}
