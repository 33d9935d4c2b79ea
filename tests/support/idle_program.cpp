// Does nothing until a signal ends it; copied under other names it plays long-running programs.
// With IDLE_PROGRAM_IGNORE_TERM set it ignores SIGTERM, like a program slow to stop.
#include <csignal>
#include <cstdlib>
#include <unistd.h>

int main() {
  if (std::getenv("IDLE_PROGRAM_IGNORE_TERM") != nullptr) {
    std::signal(SIGTERM, SIG_IGN);
  }
  while (true) {
    pause();
  }
}
