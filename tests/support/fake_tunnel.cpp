// A stand-in for the tunnel client. The connector starts it with a fixed argument list and a
// reduced environment, so it is steered through files beside its own path (argv[0]):
//
//   <argv0>.mode    optional; one word: "wait" (default: run until SIGTERM or SIGINT),
//                   "exit" (exit 0 at once), "later" (exit 3 after one second),
//                   "stubborn" (ignore SIGTERM; only SIGKILL ends it)
//   <argv0>.record  written at start: "arg <word>" for each argument, then "env <NAME>=<value>"
//                   for each environment variable, one per line
//
// Tests place it (a copy or a symbolic link) in a temporary directory and pass that path after
// "--cloudflared". "fake_tunnel --help" prints this text.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>

extern char **environ;

namespace {

volatile std::sig_atomic_t gStop = 0;

void onStop(int) { gStop = 1; }

std::string readMode(const std::string &self) {
  std::ifstream in(self + ".mode");
  std::string mode;
  in >> mode;
  return mode.empty() ? "wait" : mode;
}

void writeRecord(const std::string &self, int argc, char **argv) {
  std::string temporary = self + ".record.tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (int i = 1; i < argc; ++i) {
      out << "arg " << argv[i] << '\n';
    }
    for (char **entry = environ; *entry != nullptr; ++entry) {
      out << "env " << *entry << '\n';
    }
  }
  // Readers see either no record or a whole one.
  std::rename(temporary.c_str(), (self + ".record").c_str());
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << "fake_tunnel: records its arguments and environment to <argv0>.record and\n"
                 "behaves as <argv0>.mode says: wait (default), exit, later, stubborn.\n";
    return 0;
  }
  std::string self = argv[0];
  std::string mode = readMode(self);
  writeRecord(self, argc, argv);
  if (mode == "exit") {
    return 0;
  }
  if (mode == "stubborn") {
    std::signal(SIGTERM, SIG_IGN);
  } else {
    std::signal(SIGTERM, onStop);
  }
  std::signal(SIGINT, onStop);
  for (int ticks = 0; gStop == 0; ++ticks) {
    if (mode == "later" && ticks >= 10) {
      return 3;
    }
    usleep(100 * 1000);
  }
  return 0;
}
