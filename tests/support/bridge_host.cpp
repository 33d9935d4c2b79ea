// Hosts one bridge for end-to-end tests, as the connector would but without the cloud and the
// tunnel: every service of the given config.json is allowed under a long lease.
//
//   bridge_host CONFIG_JSON [PORT]
//
// Prints "listening PORT" once the listener is up (PORT 0 or absent: the system chooses), and
// closes the bridge on SIGTERM or SIGINT, exiting 0. Failures go to standard error, exit 1.

#include "bridge/NativeBridge.h"
#include "config/DeviceConfig.h"

#include <csignal>
#include <fstream>
#include <iostream>
#include <pthread.h>

namespace {

constexpr double kLease = 24 * 3600;

} // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: bridge_host CONFIG_JSON [PORT]\n";
    return 2;
  }
  // Blocked before any thread starts, so that only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    std::ifstream file(argv[1]);
    pellum::DeviceConfig config = nlohmann::json::parse(file).get<pellum::DeviceConfig>();
    nlohmann::json servers = nlohmann::json::array();
    for (const pellum::LocalServer &server : config.servers) {
      servers.push_back({{"slug", server.slug}, {"enabled", true}});
    }
    pellum::NativeBridge bridge(config, pellum::processEnvironment());
    bridge.authorize(servers, kLease);
    auto port = static_cast<std::uint16_t>(argc == 3 ? std::stoul(argv[2]) : 0);
    std::cout << "listening " << bridge.start(port) << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    bridge.close();
  } catch (const std::exception &error) {
    std::cerr << "bridge_host: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
