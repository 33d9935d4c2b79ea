// Feeds arbitrary bytes, read as JSON, to the decoding and validation of the device record and
// of a single local service. A record either fails to decode (a JSON error) or to validate (a
// 400 ConnectorError); a valid one survives a write and a read unchanged and still validates,
// and each of its services builds its target description and, for "http", its headers.
#include "FuzzCheck.h"
#include "config/DeviceConfig.h"
#include "support/ConnectorError.h"

#include <nlohmann/json.hpp>

#include <cstdint>

using fuzzcheck::check;

namespace {

const pellum::Environment kEnvironment = {
    {"TOKEN", "secret"}, {"EMPTY", ""}, {"USER_NAME", "user"}, {"PASSWORD", "pa:ss"}};

void exercise(const pellum::LocalServer &server) {
  try {
    server.validate();
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
    return;
  }
  check(server.localTarget().is_object());
  if (server.type != "http") {
    return;
  }
  try {
    for (const auto &[name, value] : server.localHeaders(kEnvironment)) {
      check(!name.empty());
      check(value.find_first_of("\r\n") == std::string::npos);
    }
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
  }
}

template <typename T> bool decode(const nlohmann::json &json, T &value) {
  try {
    value = json.get<T>();
    return true;
  } catch (const nlohmann::json::exception &) {
    return false;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nlohmann::json json = nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) {
    return 0;
  }
  pellum::LocalServer server;
  if (decode(json, server)) {
    exercise(server);
  }
  pellum::DeviceConfig config;
  if (!decode(json, config)) {
    return 0;
  }
  try {
    config.validate();
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
    return 0;
  }
  pellum::DeviceConfig again;
  check(decode(nlohmann::json::parse(nlohmann::json(config).dump(2)), again));
  check(again == config);
  again.validate();
  for (const pellum::LocalServer &each : config.servers) {
    exercise(each);
  }
  return 0;
}
