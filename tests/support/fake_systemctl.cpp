// Stands in for systemctl: accepts only "--user" calls, records each in "systemctl.log" of the
// fake state directory and keeps a small model of the user manager there: "units/<unit>" holds
// the active and sub state of a loaded unit ("active running"), "enabled/<unit>" marks an
// enabled one. Files that script behaviour: "unreachable" (every call fails to connect),
// "start-failures" (a count), "stop-fails", "enable-fails", "is-enabled" (the answer to print).
#include "FakeState.h"

#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using namespace pellum::test;

int main(int argc, char **argv) {
  fs::path state = fakeStateDirectory();
  std::vector<std::string> args(argv + 1, argv + argc);
  appendCall(state / "systemctl.log", args);
  if (args.size() < 2 || args[0] != "--user") {
    std::cerr << "only --user is emulated\n";
    return 2;
  }
  if (fs::exists(state / "unreachable")) {
    std::cerr << "Failed to connect to bus: No medium found\n";
    return 1;
  }
  const std::string &verb = args[1];
  const std::string unit = args.back();
  if (verb == "show-environment") {
    std::cout << "HOME=/home/fake\nLANG=C.UTF-8\n";
    return 0;
  }
  if (verb == "daemon-reload") {
    return 0;
  }
  if (verb == "show") {
    std::string active = "inactive", sub = "dead", load = "not-found";
    if (auto text = readText(state / "units" / unit)) {
      std::istringstream in(*text);
      in >> active >> sub;
      load = "loaded";
    }
    for (std::size_t i = 2; i + 1 < args.size(); ++i) {
      if (args[i] != "-p") {
        continue;
      }
      const std::string &property = args[++i];
      std::cout << property << "="
                << (property == "LoadState"     ? load
                    : property == "ActiveState" ? active
                                                : sub)
                << "\n";
    }
    return 0;
  }
  if (verb == "stop") {
    if (fs::exists(state / "stop-fails")) {
      std::cerr << "Failed to stop " << unit << ": Access denied\n";
      return 1;
    }
    if (!fs::exists(state / "units" / unit)) {
      std::cerr << "Failed to stop " << unit << ": Unit " << unit << " not loaded.\n";
      return 5;
    }
    writeText(state / "units" / unit, "inactive dead");
    return 0;
  }
  if (verb == "restart" || verb == "start") {
    if (takeOne(state / "start-failures")) {
      std::cerr << "Job for " << unit
                << " failed because the control process exited with error code.\n";
      return 1;
    }
    writeText(state / "units" / unit, "active running");
    return 0;
  }
  if (verb == "enable") {
    if (fs::exists(state / "enable-fails")) {
      return 1;
    }
    writeText(state / "enabled" / unit, "");
    std::cout << "Created symlink default.target.wants/" << unit << ".\n";
    return 0;
  }
  if (verb == "disable") {
    fs::remove(state / "enabled" / unit);
    return 0;
  }
  if (verb == "is-enabled") {
    std::string answer =
        readText(state / "is-enabled")
            .value_or(fs::exists(state / "enabled" / unit) ? "enabled\n" : "disabled\n");
    std::cout << answer;
    return answer.rfind("enabled", 0) == 0 ? 0 : 1;
  }
  std::cerr << "Unknown command verb " << verb << ".\n";
  return 1;
}
