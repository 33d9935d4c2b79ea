#include "ProcessLeaks.h"

#include <cerrno>
#include <filesystem>
#include <sys/wait.h>
#include <thread>

namespace pellum::test {

namespace {

std::size_t entries(const char *directory) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(directory)) {
    ++count;
  }
  return count;
}

} // namespace

bool hasChildProcesses() {
  int status = 0;
  return !(waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}

std::size_t threadCount() {
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer starts a thread of its own, for good, when the process starts its first
  // one; have it running before anything is counted, so that it is never taken for a leak.
  static const bool sanitizerThreadStarted = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)sanitizerThreadStarted;
#endif
  return entries("/proc/self/task");
}

std::size_t openDescriptorCount() { return entries("/proc/self/fd"); }

} // namespace pellum::test
