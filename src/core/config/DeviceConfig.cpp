#include "config/DeviceConfig.h"

#include "config/ServiceOrigin.h"
#include "support/ConnectorError.h"

#include <set>

namespace pellum {

namespace {

constexpr std::uint16_t kMinimumPort = 1024;

} // namespace

void DeviceConfig::validate() const {
  pellum::endpoint(endpoint);
  if (port < kMinimumPort || credential.empty() || bridgePassword.empty() || tunnelToken.empty()) {
    throw ConnectorError("Invalid device credentials or bridge port.", 400);
  }
  // Checked before any single service, so a shared bad slug reads as the duplicate it is.
  std::set<std::string_view> slugs;
  for (const LocalServer &server : servers) {
    if (!slugs.insert(server.slug).second) {
      throw ConnectorError("Duplicate local namespaces.", 400);
    }
  }
  for (const LocalServer &server : servers) {
    server.validate();
  }
}

void to_json(nlohmann::json &json, const DeviceConfig &config) {
  json = nlohmann::json{{"endpoint", config.endpoint},
                        {"id", config.id},
                        {"name", config.name},
                        {"hostname", config.hostname},
                        {"port", config.port},
                        {"credential", config.credential},
                        {"bridgePassword", config.bridgePassword},
                        {"tunnelToken", config.tunnelToken},
                        {"servers", config.servers}};
}

void from_json(const nlohmann::json &json, DeviceConfig &config) {
  DeviceConfig decoded;
  decoded.endpoint = json.at("endpoint").get<std::string>();
  decoded.id = json.at("id").get<std::string>();
  decoded.name = json.at("name").get<std::string>();
  decoded.hostname = json.at("hostname").get<std::string>();
  // Only a JSON integer in range is a port: nlohmann would otherwise truncate 80.5 or wrap 65536.
  const nlohmann::json &port = json.at("port");
  if (!port.is_number_integer()) {
    throw nlohmann::json::type_error::create(
        302, std::string("type must be an integer, but is ") + port.type_name(), &port);
  }
  if (port.is_number_unsigned()
          ? port.get<std::uint64_t>() > 65535
          : (port.get<std::int64_t>() < 0 || port.get<std::int64_t>() > 65535)) {
    throw nlohmann::json::out_of_range::create(406, "port must be from 0 to 65535", &port);
  }
  decoded.port = port.get<std::uint16_t>();
  decoded.credential = json.at("credential").get<std::string>();
  decoded.bridgePassword = json.at("bridgePassword").get<std::string>();
  decoded.tunnelToken = json.at("tunnelToken").get<std::string>();
  decoded.servers = json.at("servers").get<std::vector<LocalServer>>();
  config = std::move(decoded);
}

} // namespace pellum
