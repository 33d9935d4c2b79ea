#pragma once

namespace pellum {

// Catches SIGTERM and SIGINT for as long as an instance exists. The handler only records that a
// signal came, with one lock-free atomic store, so no other work ever runs in signal context;
// the owner polls received(). Whichever thread the kernel picks receives the signal, so other
// threads need not block anything. The dispositions in place before the first live instance come
// back when the last one goes away; instances may overlap and share one flag. Construct and
// destroy from any one thread at a time; received() is safe from any thread.
class TerminationSignals {
public:
  // Throws std::system_error when a disposition cannot be set.
  TerminationSignals();
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals &) = delete;
  TerminationSignals &operator=(const TerminationSignals &) = delete;

  // Whether SIGTERM or SIGINT arrived since the handlers were installed.
  bool received() const;
};

} // namespace pellum
