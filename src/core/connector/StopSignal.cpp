#include "connector/StopSignal.h"

namespace pellum {

bool StopSignal::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

void StopSignal::set() {
  {
    std::lock_guard lock(mutex_);
    value_ = true;
  }
  changed_.notify_all();
}

bool StopSignal::waitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return value_; });
  return value_;
}

} // namespace pellum
