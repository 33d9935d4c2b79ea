#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pellum::test {

// What to run: `arguments` is the whole argument vector, argv[0] included, so a test can choose
// how the program sees its own name.
struct ProcessOptions {
  std::filesystem::path executable;
  std::vector<std::string> arguments;
  // The child's whole environment; when empty the child inherits the test's.
  std::optional<std::map<std::string, std::string>> environment;
  // Written to standard input, which is then closed; when empty, standard input is /dev/null.
  std::optional<std::string> input;
  std::optional<std::filesystem::path> workingDirectory;
  // Standard output goes to a pipe whose reading end is already closed.
  bool closedOutput = false;
  // The child is killed with SIGKILL after this long.
  std::chrono::milliseconds timeout{30000};
};

struct ProcessResult {
  int exitStatus = -1; // the exit code, or the signal number when `signaled`
  bool signaled = false;
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
};

// Runs the program to its end (always reaped), capturing both output streams. Throws
// std::system_error when it cannot be started.
ProcessResult runProcess(const ProcessOptions &options);

// The test's own environment with `changes` applied (an empty value is kept as empty).
std::map<std::string, std::string>
environmentWith(const std::map<std::string, std::optional<std::string>> &changes);

} // namespace pellum::test
