#pragma once

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"
#include "config/LocalServer.h"
#include "platform/Environment.h"

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace pellum {

// The "check" command: looks at each local service exactly the way the connector would reach
// it, and says in plain words what works and what does not.
//
// A stdio service's program is found and started as a session starts it (same environment,
// working directory and search path), asked for initialize with the connector's own client
// information, then for tools/list; what it wrote to standard error is kept (its last lines)
// to explain a failure. An HTTP service gets the same two requests as the forwarder sends them.
// Nothing is sent to the cloud service and no file is written; every process started is ended,
// with its whole process group. Values of environment variables never appear in what is
// reported, nor does text the service writes that contains them.
//
// One check at a time per instance; blocks the calling thread.
class ServiceCheck {
public:
  struct Options {
    // Longest time spent on one service's exchange: the session's initialize time-out.
    std::chrono::milliseconds timeout{30000};
    // Time a stdio server gets between SIGTERM and SIGKILL once its check is over.
    std::chrono::milliseconds killGrace{1000};
    // The login shell's PATH; the process-wide probe unless replaced.
    std::function<std::optional<std::string>()> shellPath;
  };

  // What was found about one service: a first line beginning with "ok" or "failed", then, for
  // a failure, indented lines with the details.
  struct Result {
    bool ok = false;
    std::vector<std::string> lines;
  };

  // Lines of the standard error kept to explain a failure, at most, and their bytes at most.
  static constexpr std::size_t kErrorLines = 20;
  static constexpr std::size_t kErrorBytes = 8192;
  // Bytes shown of a line or answer that the connector could not use.
  static constexpr std::size_t kExcerptBytes = 200;

  explicit ServiceCheck(ConfigStore store);
  ServiceCheck(ConfigStore store, Options options);

  // Checks every service of the device record in its order, or only the one named by the first
  // of `rest` (the words after "check"), handing each result to `report` as soon as it is
  // known. Returns true when every service checked passed. Throws before checking anything: the
  // not-enrolled ConnectorError, ConnectorError("Choose a valid namespace.", 400) or ("Local
  // service not found.", 400) for the name, and the errors of reading "secrets.env". Returns
  // false without reporting the service in hand once `stop` is requested.
  bool run(const std::vector<std::string> &rest, const std::function<void(const Result &)> &report,
           std::stop_token stop = {}) const;

  // Checks one service of `device` with `environment` (the process environment completed by
  // "secrets.env"). Never throws for anything the service does.
  Result check(const LocalServer &server, const DeviceConfig &device,
               const Environment &environment, std::stop_token stop = {}) const;

  // The command line "check [NAMESPACE]" (`arguments` includes "check"): prints each result to
  // standard output as it comes and returns the exit status, 0 when every service passed and 1
  // otherwise. A failure to start checking is its message on standard error; SIGINT or SIGTERM
  // ends the check in hand, with its processes, and the command.
  static int main(const ConfigStore &store, const std::vector<std::string> &arguments);

private:
  Result checkStdio(const LocalServer &server, const Environment &environment,
                    std::stop_token stop) const;
  Result checkHTTP(const LocalServer &server, const DeviceConfig &device,
                   const Environment &environment, std::stop_token stop) const;

  ConfigStore store_;
  Options options_;
};

} // namespace pellum
