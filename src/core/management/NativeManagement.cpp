#include "management/NativeManagement.h"

#include "config/ConnectorError.h"

namespace pellum {

namespace {

[[noreturn]] void fail(const char *message) { throw ConnectorError(message, 400); }

} // namespace

NativeManagement::NativeManagement(ConfigStore store, std::filesystem::path executable)
    : store_(std::move(store)), executable_(std::move(executable)) {}

std::string NativeManagement::execute(const std::vector<std::string> &arguments,
                                      const std::optional<std::string> &input) const {
  (void)input;
  if (arguments.empty()) {
    fail("Choose a connector action.");
  }
  const std::string &verb = arguments.front();
  Words rest(arguments.begin() + 1, arguments.end());

  // Every verb needs the device record, so an unenrolled computer hears that first, whatever
  // the verb. Enrolment, the launch agent and the tunnel client are not managed in this build.
  DeviceConfig config = store_.load();
  if (verb == "list") {
    return list(config);
  }
  if (verb == "enroll" || verb == "service" || verb == "cloudflared") {
    fail("Unsupported connector action.");
  }
  // The remaining verbs act on one local service, named first.
  if (rest.empty() || !LocalServer::isNamespace(rest.front())) {
    fail("Choose a valid namespace.");
  }
  fail("Unsupported connector action.");
}

std::string NativeManagement::list(const DeviceConfig &config) const {
  std::string text = "Device: " + config.name + "\nEndpoint: " + config.endpoint + "\n";
  for (std::size_t index = 0; index < config.servers.size(); ++index) {
    const LocalServer &server = config.servers[index];
    if (index > 0) {
      text += "\n";
    }
    text += server.slug + "\t" + server.type + "\t" + server.name;
  }
  return text;
}

} // namespace pellum
