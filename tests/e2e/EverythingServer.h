#pragma once

// The reference "everything" MCP server from the npm packages of tests/e2e.

#include "LoopbackSocket.h"
#include "Paths.h"
#include "platform/ChildProcess.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace pellum::test {

inline std::filesystem::path everythingServer() {
  return sourceDir() / "tests" / "e2e" / "node_modules" / "@modelcontextprotocol" /
         "server-everything" / "dist" / "index.js";
}

inline bool listening(std::uint16_t port) {
  try {
    LoopbackSocket::connect(port);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

// The server in its streamable HTTP mode on `port` of 127.0.0.1, once it accepts connections
// (null when it does not within 30 seconds).
inline std::unique_ptr<ChildProcess> everythingOverHTTP(const std::filesystem::path &node,
                                                        std::uint16_t port) {
  ChildProcess::Options options;
  options.executable = node.string();
  options.arguments = {everythingServer().string(), "streamableHttp"};
  Environment environment = processEnvironment();
  environment["PORT"] = std::to_string(port);
  options.environment = environment;
  auto server = std::make_unique<ChildProcess>(options);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!listening(port) && server->running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return listening(port) ? std::move(server) : nullptr;
}

} // namespace pellum::test
