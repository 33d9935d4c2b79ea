#pragma once

#include "config/ConfigStore.h"

#include <string>
#include <vector>

namespace pellum {

// The connector program's entry: prepares the process, answers "--version" and "start" itself
// and hands every other command line to the management verbs, printing one line.
class ConnectorMain {
public:
  // The process entry; returns the exit status. Called once, on the main thread.
  static int main(int argc, char **argv);

  // The foreground run behind "start". Returns when told to stop; throws when it cannot start or
  // its tunnel client dies.
  static void run(const ConfigStore &store, const std::vector<std::string> &arguments);
};

} // namespace pellum
