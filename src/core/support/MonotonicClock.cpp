#include "support/MonotonicClock.h"

namespace pellum {

namespace {

class SteadyClock final : public MonotonicClock {
public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  bool sleepUntil(time_point deadline, std::stop_token stop) const override {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
  }
};

} // namespace

const MonotonicClock &steadyClock() {
  static const SteadyClock clock;
  return clock;
}

ManualClock::ManualClock(time_point start) : now_(start) {}

MonotonicClock::time_point ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

bool ManualClock::sleepUntil(time_point deadline, std::stop_token stop) const {
  std::unique_lock lock(mutex_);
  return moved_.wait(lock, stop, [&] { return now_ >= deadline; });
}

void ManualClock::advance(duration step) {
  {
    std::lock_guard lock(mutex_);
    if (step > duration::zero()) {
      now_ += step;
    }
  }
  moved_.notify_all();
}

} // namespace pellum
