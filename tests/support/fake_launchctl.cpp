// Stands in for /bin/launchctl: records every call in "launchctl.log" of the fake state
// directory and keeps a small model of the gui domain there: "loaded/<label>" holds the state
// of a loaded agent, "enabled/<label>" marks an enabled one. Files that script failures:
// "bootstrap-failures" (a count), "bootout-fails", "enable-fails", "print-disabled-fails";
// "print-disabled" replaces the generated disabled-services text.
#include "FakeState.h"

#include <cstdio>
#include <iostream>

namespace fs = std::filesystem;
using namespace pellum::test;

namespace {

std::string labelOf(const std::string &target) { return target.substr(target.rfind('/') + 1); }

} // namespace

int main(int argc, char **argv) {
  fs::path state = fakeStateDirectory();
  std::vector<std::string> args(argv + 1, argv + argc);
  appendCall(state / "launchctl.log", args);
  if (args.empty()) {
    return 64;
  }
  const std::string &verb = args[0];
  if (verb == "print" && args.size() == 2) {
    std::string label = labelOf(args[1]);
    if (auto running = readText(state / "loaded" / label)) {
      std::cout << args[1] << " = {\n\tactive count = 1\n\tpath = /x/" << label
                << ".plist\n\ttype = LaunchAgent\n\tstate = " << *running << "\n\n\tprogram = "
                << "/x\n}\n";
      return 0;
    }
    std::cout << "Bad request.\nCould not find service \"" << label
              << "\" in domain for user gui: 0\n";
    return 113;
  }
  if (verb == "bootout" && args.size() == 2) {
    if (fs::exists(state / "bootout-fails")) {
      std::cout << "Boot-out failed: 5: Input/output error\n";
      return 5;
    }
    return fs::remove(state / "loaded" / labelOf(args[1])) ? 0 : 3;
  }
  if (verb == "bootstrap" && args.size() == 3) {
    if (takeOne(state / "bootstrap-failures")) {
      std::cout << "Bootstrap failed: 5: Input/output error\n";
      return 5;
    }
    fs::path file = args[2];
    if (!fs::exists(file)) {
      std::cout << "Bootstrap failed: 2: No such file or directory\n";
      return 2;
    }
    writeText(state / "loaded" / file.stem().string(), "running");
    return 0;
  }
  if (verb == "enable" && args.size() == 2) {
    if (fs::exists(state / "enable-fails")) {
      return 1;
    }
    writeText(state / "enabled" / labelOf(args[1]), "");
    return 0;
  }
  if (verb == "print-disabled" && args.size() == 2) {
    if (fs::exists(state / "print-disabled-fails")) {
      return 1;
    }
    if (auto text = readText(state / "print-disabled")) {
      std::cout << *text;
      return 0;
    }
    std::cout << "disabled services = {\n";
    if (fs::exists(state / "enabled")) {
      for (const auto &entry : fs::directory_iterator(state / "enabled")) {
        std::cout << "\t\"" << entry.path().filename().string() << "\" => enabled\n";
      }
    }
    std::cout << "}\n";
    return 0;
  }
  std::cerr << "Unrecognized subcommand: " << verb << "\n";
  return 64;
}
