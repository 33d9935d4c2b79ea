#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace pellum::test {

// Sets (or, with nullopt, removes) one environment variable for the life of the object and
// restores its earlier state afterwards. For the test's main thread only.
class ScopedVariable {
public:
  ScopedVariable(std::string name, const std::optional<std::string> &value)
      : name_(std::move(name)) {
    if (const char *old = std::getenv(name_.c_str())) {
      old_ = old;
    }
    apply(value);
  }
  ~ScopedVariable() { apply(old_); }
  ScopedVariable(const ScopedVariable &) = delete;
  ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
  void apply(const std::optional<std::string> &value) {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> old_;
};

} // namespace pellum::test
