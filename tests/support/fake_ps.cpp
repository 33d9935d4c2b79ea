// Stands in for /bin/ps "-p" pid "-o" "uid=": records each call in "ps.log" of the fake state
// directory and prints the owner of the process as the kernel reports it, or the content of
// "ps-uid" there when that file exists (a process of another user).
#include "FakeState.h"

#include <cstdio>
#include <iostream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace pellum::test;

int main(int argc, char **argv) {
  fs::path state = fakeStateDirectory();
  std::vector<std::string> args(argv + 1, argv + argc);
  appendCall(state / "ps.log", args);
  if (args.size() != 4 || args[0] != "-p" || args[2] != "-o" || args[3] != "uid=") {
    return 1;
  }
  if (auto uid = readText(state / "ps-uid")) {
    std::cout << "  " << *uid << "\n";
    return 0;
  }
  struct stat info {};
  if (::stat(("/proc/" + args[1]).c_str(), &info) != 0) {
    return 1;
  }
  std::cout << "    " << info.st_uid << "\n";
  return 0;
}
