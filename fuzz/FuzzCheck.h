#pragma once

#include <cstdlib>

namespace fuzzcheck {

// A broken promise ends the run the way libFuzzer reports as a crash, with the input saved.
inline void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

} // namespace fuzzcheck
