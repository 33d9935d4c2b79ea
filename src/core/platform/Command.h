#pragma once

#include "platform/Environment.h"

#include <optional>
#include <string>
#include <vector>

namespace pellum {

// The outcome of one short-lived child run.
struct CommandResult {
  // The exit code when the child exited, else the number of the signal that ended it
  // (`signaled` tells which).
  int exitStatus = 0;
  bool signaled = false;
  // What the child wrote to standard output (and standard error when captured), in order.
  std::string outputBytes;

  // True when the child exited with status 0.
  bool succeeded() const { return exitStatus == 0 && !signaled; }
};

// Runs `executable` (an absolute path) with `arguments`, standard input from /dev/null, in a
// session of its own (no controlling terminal), and blocks until it ends. A child still running
// after `timeout` seconds is killed with SIGKILL and the run returns normally with what it read;
// the time-out bounds the whole run, even when a grandchild keeps the output pipe open. More than
// `limit` bytes of output kill the child and throw ConnectorError("Command output exceeded its size
// limit.", 400). `environment`, when given, is the child's whole environment. A launch failure is
// thrown as std::system_error. The child is always reaped. Safe to call from any thread.
CommandResult command(const std::string &executable, const std::vector<std::string> &arguments,
                      double timeout, std::size_t limit,
                      const std::optional<Environment> &environment = std::nullopt,
                      bool captureError = false);

} // namespace pellum
