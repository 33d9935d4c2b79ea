#include "platform/TerminationSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>

namespace pellum {

namespace {

std::atomic<bool> gReceived{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::mutex gInstallMutex;
int gInstances = 0;
struct sigaction gPreviousTerm {};
struct sigaction gPreviousInt {};

extern "C" void onTerminationSignal(int) { gReceived.store(true); }

void install(int number, struct sigaction *previous) {
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls of other threads resume instead of failing with EINTR.
  action.sa_flags = SA_RESTART;
  if (::sigaction(number, &action, previous) != 0) {
    throw std::system_error(errno, std::generic_category(), "sigaction");
  }
}

} // namespace

TerminationSignals::TerminationSignals() {
  std::lock_guard lock(gInstallMutex);
  if (gInstances == 0) {
    gReceived.store(false);
    install(SIGTERM, &gPreviousTerm);
    try {
      install(SIGINT, &gPreviousInt);
    } catch (...) {
      ::sigaction(SIGTERM, &gPreviousTerm, nullptr);
      throw;
    }
  }
  ++gInstances;
}

TerminationSignals::~TerminationSignals() {
  std::lock_guard lock(gInstallMutex);
  if (--gInstances == 0) {
    ::sigaction(SIGINT, &gPreviousInt, nullptr);
    ::sigaction(SIGTERM, &gPreviousTerm, nullptr);
  }
}

bool TerminationSignals::received() const { return gReceived.load(); }

} // namespace pellum
