#include "Usage.h"
#include "connector/ConnectorMain.h"
#include "support/Files.h"

#include <csignal>
#include <system_error>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc > 1 && pellum::isUsageWord(argv[1])) {
    // Answered before anything else, so that asking for help never touches the configuration.
    std::signal(SIGPIPE, SIG_IGN);
    try {
      pellum::writeAll(STDOUT_FILENO, pellum::usageText());
    } catch (const std::system_error &) {
      // A reader that has gone away (`| head`) loses the rest and nothing more.
    }
    return 0;
  }
  return pellum::ConnectorMain::main(argc, argv);
}
