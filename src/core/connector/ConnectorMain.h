#pragma once

#include "bridge/NativeBridge.h"
#include "config/ConfigStore.h"
#include "connector/StopSignal.h"
#include "service/CloudflareInstaller.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace pellum {

// The connector program's entry: prepares the process, answers "--version", "start" and
// "check" itself and hands every other command line to the management verbs, printing one line.
class ConnectorMain {
public:
  // The periods and collaborators of a foreground run. The defaults are the product's; only
  // in-process tests shorten them.
  struct RunOptions {
    // Time between heartbeats, also after a failed one.
    std::chrono::milliseconds heartbeatPeriod{30'000};
    // Seconds that each successful heartbeat lets the bridge serve.
    double lease = 90;
    // Longest time before the run loop notices a stop request or the tunnel client's end.
    std::chrono::milliseconds pollInterval{1'000};
    // Time the tunnel client gets between SIGTERM and SIGKILL.
    std::chrono::milliseconds tunnelGrace{3'000};
    NativeBridge::Options bridge;
    CloudflareInstaller::Options installer;
    // When given, set() on it stops the run as SIGTERM does, from any thread.
    std::shared_ptr<StopSignal> stopSignal;
  };

  // The process entry; returns the exit status. Called once, on the main thread.
  static int main(int argc, char **argv);

  // The foreground run behind "start" (`arguments` includes "start"; "--cloudflared PATH" names
  // the tunnel client, else the installer provides it). Holds the single-instance lock, sends a
  // first heartbeat, starts the bridge on the device's port and the tunnel client, prints the
  // running line, then heartbeats until SIGTERM, SIGINT or a revoked device, and returns after
  // closing the bridge, ending the tunnel client and releasing the lock. Throws ConnectorError
  // or the failing facility's error when it cannot start, and ConnectorError("Cloudflare
  // connector exited unexpectedly.", 400) when the tunnel client ends on its own; the lock is
  // released before anything is thrown. Blocks the calling thread for the whole run.
  static void run(const ConfigStore &store, const std::vector<std::string> &arguments);
  static void run(const ConfigStore &store, const std::vector<std::string> &arguments,
                  const RunOptions &options);
};

} // namespace pellum
