#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace pellum {

// The time in which the connector's long periods are measured: leases, idle sessions, pruning.
// The running connector uses steadyClock(); a test hands in a ManualClock and moves it on
// itself, so that no test waits a period out in real time. Deadlines of real I/O (connection
// limits, waits for a child's answer) stay on std::chrono::steady_clock.
//
// Implementations are safe for concurrent use from any thread.
class MonotonicClock {
public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~MonotonicClock() = default;

  // The current time; never goes back.
  virtual time_point now() const = 0;

  // Blocks until now() has reached `deadline` or `stop` is requested, whichever comes first.
  // True when the deadline was reached.
  virtual bool sleepUntil(time_point deadline, std::stop_token stop) const = 0;
};

// The operating system's monotonic clock. Lives as long as the process.
const MonotonicClock &steadyClock();

// A clock that stands still until advance() moves it on. For tests.
class ManualClock final : public MonotonicClock {
public:
  // Starts at `start`, far enough from the clock's epoch that periods subtracted stay valid.
  explicit ManualClock(time_point start = time_point(std::chrono::hours(24)));

  time_point now() const override;
  bool sleepUntil(time_point deadline, std::stop_token stop) const override;

  // Moves the time on by `step` (not negative) and wakes every sleeper whose deadline it
  // reaches. What the woken threads then do happens after advance() has returned.
  void advance(duration step);

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable_any moved_;
  time_point now_;
};

} // namespace pellum
