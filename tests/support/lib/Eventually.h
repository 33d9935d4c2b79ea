#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pellum::test {

// Polls `condition` for up to 10 s; returns its last value.
inline bool eventually(const std::function<bool()> &condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

} // namespace pellum::test
