#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pellum {

// The one way a stop request reaches the connector's run loop: a flag that starts false and,
// once set, stays set. Safe for concurrent use from any thread (never from a signal handler).
class StopSignal {
public:
  bool value() const;
  void set();
  // Blocks until set() has been called or `timeout` has passed; returns value().
  bool waitFor(std::chrono::milliseconds timeout) const;

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool value_ = false;
};

} // namespace pellum
