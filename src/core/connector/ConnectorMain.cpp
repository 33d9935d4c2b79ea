#include "connector/ConnectorMain.h"

#include "connector/ExecutableLocation.h"
#include "connector/HeadersInput.h"
#include "connector/Heartbeat.h"
#include "connector/InstanceLock.h"
#include "management/NativeManagement.h"
#include "management/ServiceCheck.h"
#include "platform/ChildProcess.h"
#include "platform/TerminationSignals.h"
#include "service/ServiceAPI.h"
#include "support/ConnectorError.h"
#include "support/Console.h"
#include "support/Files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <unistd.h>

namespace pellum {

namespace {

constexpr std::string_view kVersionLine = "Pellum connector 0.2.0";
constexpr std::string_view kUnknownError = "An unexpected error occurred.";
// An enrolment code is 43 characters; keeping at most this much of a line bounds memory while
// still refusing any overlong line as the wrong code it is.
constexpr std::size_t kMaxInputLine = 1 << 20;

// One line of standard input without its terminator; empty when input is already at its end.
std::optional<std::string> readInputLine() {
  std::string line;
  bool readAny = false;
  char byte = 0;
  while (true) {
    ssize_t count = ::read(STDIN_FILENO, &byte, 1);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0 || byte == '\n') {
      readAny = readAny || count > 0;
      break;
    }
    readAny = true;
    if (line.size() < kMaxInputLine) {
      line += byte;
    }
  }
  if (!readAny) {
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

std::string describe(const std::exception &error) { return error.what(); }

// The path after the first "--cloudflared", else the installer's kept (or newly installed)
// tunnel client. The path is only made absolute: folding "link/.." by text would name another
// file than the one the file system finds through a symbolic link.
std::filesystem::path tunnelClientPath(const ConfigStore &store,
                                       const std::vector<std::string> &arguments,
                                       const CloudflareInstaller::Options &installer) {
  auto option = std::find(arguments.begin(), arguments.end(), "--cloudflared");
  if (option != arguments.end() && std::next(option) != arguments.end()) {
    return absolutePathOrAsGiven(*std::next(option));
  }
  return CloudflareInstaller(store, installer).ensure(false);
}

// The tunnel client gets its token and the few variables it needs to find its way around, and
// nothing else: the secrets of local services stay with the connector.
ChildProcess::Options tunnelOptions(const std::filesystem::path &executable,
                                    const Environment &environment,
                                    const std::string &tunnelToken) {
  ChildProcess::Options options;
  options.executable = executable.string();
  options.arguments = {"tunnel", "--no-autoupdate", "run"};
  Environment childEnvironment;
  for (const char *name : {"PATH", "HOME", "USER", "TMPDIR"}) {
    auto found = environment.find(name);
    if (found != environment.end()) {
      childEnvironment.insert(*found);
    }
  }
  childEnvironment["TUNNEL_TOKEN"] = tunnelToken;
  options.environment = std::move(childEnvironment);
  return options;
}

} // namespace

void ConnectorMain::run(const ConfigStore &store, const std::vector<std::string> &arguments) {
  run(store, arguments, RunOptions{});
}

void ConnectorMain::run(const ConfigStore &store, const std::vector<std::string> &arguments,
                        const RunOptions &options) {
  store.prepare();
  const DeviceConfig config = store.load();
  InstanceLock lock(store.directory());

  std::filesystem::path tunnelPath = tunnelClientPath(store, arguments, options.installer);
  Environment environment = store.environment();
  NativeBridge bridge(config, environment, options.bridge);
  ServiceAPI api;
  // Without a first lease there is nothing to serve, so a failure here ends the start.
  Heartbeat::beat(api, config, bridge, options.lease);
  bridge.start();

  std::optional<ChildProcess> tunnel;
  try {
    tunnel.emplace(tunnelOptions(tunnelPath, environment, config.tunnelToken));
  } catch (const std::exception &) {
    bridge.close();
    throw ConnectorError(
        "Cannot launch Cloudflare connector. Use Update Cloudflare connector to repair it.", 400);
  }

  std::shared_ptr<StopSignal> stopSignal =
      options.stopSignal ? options.stopSignal : std::make_shared<StopSignal>();
  // Kept to the very end, so that a second SIGTERM during the shutdown cannot cut it short.
  TerminationSignals signals;
  writeLine(STDOUT_FILENO, "Connector running for " + config.name + ", " +
                               std::to_string(config.servers.size()) + " local service(s).");

  bool requested = false;
  {
    Heartbeat heartbeat(api, config, bridge, *stopSignal, options.heartbeatPeriod, options.lease);
    while (true) {
      if (signals.received()) {
        stopSignal->set();
      }
      requested = stopSignal->value();
      if (requested || !tunnel->running()) {
        break;
      }
      stopSignal->waitFor(options.pollInterval);
    }
    heartbeat.cancel();
  }

  bridge.close();
  if (tunnel->running()) {
    tunnel->terminate(options.tunnelGrace);
  }
  tunnel->wait();
  lock.release();
  if (!requested) {
    throw ConnectorError("Cloudflare connector exited unexpectedly.", 400);
  }
}

int ConnectorMain::main(int argc, char **argv) {
  // Writing to a peer that has gone away must fail the write, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  ConfigStore store;
  std::filesystem::path executable = executableLocation(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

  if (arguments.empty() || arguments.front() == "--version") {
    writeLine(STDOUT_FILENO, kVersionLine);
    return 0;
  }
  if (arguments.front() == "start") {
    try {
      run(store, arguments);
      return 0;
    } catch (const std::exception &error) {
      writeLine(STDERR_FILENO, "Connector failed: " + describe(error));
      return 1;
    } catch (...) {
      writeLine(STDERR_FILENO, "Connector failed: " + std::string(kUnknownError));
      return 1;
    }
  }
  if (arguments.front() == "check") {
    // Many lines, printed as each service is checked, and an exit status of its own.
    return ServiceCheck::main(store, arguments);
  }
  try {
    std::optional<std::string> input;
    if (arguments.front() == "enroll") {
      input = readInputLine();
    } else if (readsHeadersInput(arguments)) {
      input = readHeadersInput(STDIN_FILENO);
    }
    std::string result = NativeManagement(store, executable).execute(arguments, input);
    writeLine(STDOUT_FILENO, result);
    return 0;
  } catch (const std::exception &error) {
    writeLine(STDERR_FILENO, describe(error));
    return 1;
  } catch (...) {
    writeLine(STDERR_FILENO, kUnknownError);
    return 1;
  }
}

} // namespace pellum
