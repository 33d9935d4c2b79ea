#include "onboarding/FirstRun.h"

#include "launch/LaunchService.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Files.h"
#include "support/Unicode.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <vector>

namespace pellum {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kOwnershipFile = "mac-app.json";
constexpr std::string_view kInstallationFile = "mac-installation-id";
constexpr std::string_view kConnectorName = "PellumConnector";
// Both records are a few dozen bytes; anything far bigger is not ours.
constexpr std::size_t kRecordLimit = 64 * 1024;
constexpr std::uint16_t kPreferredBridgePort = 47831;

bool fileExists(const fs::path &path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

// The ownership record, or nothing when it cannot be read or is not a JSON object.
std::optional<nlohmann::json> ownershipRecord(const ConfigStore &store) {
  try {
    nlohmann::json record =
        nlohmann::json::parse(readFile(store.directory() / kOwnershipFile, kRecordLimit));
    if (record.is_object()) {
      return record;
    }
  } catch (const std::exception &) {
  }
  return std::nullopt;
}

bool stringEquals(const nlohmann::json &record, const char *key, const std::string &expected) {
  auto found = record.find(key);
  return found != record.end() && found->is_string() && found->get<std::string>() == expected;
}

// The ownership record when it names this record's `id` and `endpoint`.
std::optional<nlohmann::json> ownedRecord(const ConfigStore &store, const DeviceConfig &device) {
  std::optional<nlohmann::json> record = ownershipRecord(store);
  if (record && stringEquals(*record, "deviceId", device.id) &&
      stringEquals(*record, "endpoint", device.endpoint)) {
    return record;
  }
  return std::nullopt;
}

// The configuration directory an agent gives its connector. The connector runs in the home
// directory, so a relative path there is relative to the home directory.
fs::path agentDirectory(const LaunchService::Agent &agent, const fs::path &home) {
  for (const char *name : {"PELLUM_CONFIG_DIR", "KESTRIN_CONFIG_DIR"}) {
    auto found = agent.environmentVariables.find(name);
    if (found != agent.environmentVariables.end() && !found->second.empty()) {
      fs::path directory(found->second);
      return directory.is_absolute() ? directory : home / directory;
    }
  }
  return home / ".pellum";
}

void closeSocket(int fd) { ::close(fd); }

bool bindLoopback(int fd, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

} // namespace

FirstRunInspection FirstRun::inspect(const fs::path &home,
                                     const std::optional<fs::path> &explicitDirectory) {
  LaunchService::Settings settings;
  settings.home = home;
  // Only the agent files are read; the store and executable are never used.
  std::unique_ptr<LaunchService> agents =
      LaunchService::create(ConfigStore(home / ".pellum"), fs::path(), settings);
  return inspect(*agents, explicitDirectory);
}

FirstRunInspection FirstRun::inspect(const LaunchService &agents,
                                     const std::optional<fs::path> &explicitDirectory) {
  const fs::path &home = agents.home();
  std::vector<fs::path> candidates;
  if (explicitDirectory) {
    candidates.push_back(*explicitDirectory);
  }
  std::set<fs::path> appDirectories;
  std::set<fs::path> cliDirectories;
  for (std::string_view label : {LaunchService::label, LaunchService::cliLabel}) {
    std::optional<LaunchService::Agent> agent = agents.readAgent(label);
    if (!agent) {
      continue;
    }
    fs::path directory = agentDirectory(*agent, home);
    candidates.push_back(directory);
    std::string program =
        agent->programArguments.empty() ? std::string() : agent->programArguments.front();
    bool runsConnector = fs::path(program).filename() == kConnectorName;
    (runsConnector ? appDirectories : cliDirectories).insert(absoluteLexicalPath(directory));
  }
  candidates.push_back(home / ".pellum");
  candidates.push_back(home / ".kestrin");

  for (const fs::path &candidate : candidates) {
    ConfigStore store(candidate);
    if (!fileExists(store.file())) {
      continue;
    }
    DeviceConfig device = store.load();
    fs::path standardized = absoluteLexicalPath(candidate);
    bool owned = appDirectories.count(standardized) > 0 || isOwned(store, device);
    FirstRunPhase phase = FirstRunPhase::ready;
    if (cliDirectories.count(standardized) > 0 || !owned) {
      phase = FirstRunPhase::conversionOffer;
    } else if (isPending(store)) {
      phase = FirstRunPhase::pairing;
    }
    return {phase, store, device};
  }
  return {FirstRunPhase::loginRequired, ConfigStore(candidates.front()), std::nullopt};
}

bool FirstRun::isOwned(const ConfigStore &store, const DeviceConfig &device) {
  return ownedRecord(store, device).has_value();
}

bool FirstRun::isPending(const ConfigStore &store) {
  std::optional<nlohmann::json> record = ownershipRecord(store);
  if (!record) {
    return false;
  }
  auto complete = record->find("setupComplete");
  return complete != record->end() && complete->is_boolean() && !complete->get<bool>();
}

std::optional<std::string> FirstRun::accountID(const ConfigStore &store,
                                               const DeviceConfig &device) {
  std::optional<nlohmann::json> record = ownedRecord(store, device);
  if (!record) {
    return std::nullopt;
  }
  auto account = record->find("accountId");
  if (account == record->end() || !account->is_string()) {
    return std::nullopt;
  }
  return account->get<std::string>();
}

void FirstRun::markOwned(const ConfigStore &store, const DeviceConfig &device, bool complete,
                         const std::optional<std::string> &accountID) {
  std::optional<std::string> account = accountID ? accountID : FirstRun::accountID(store, device);
  store.prepare();
  nlohmann::json record = {
      {"deviceId", device.id}, {"endpoint", device.endpoint}, {"setupComplete", complete}};
  if (account) {
    record["accountId"] = *account;
  }
  privateWrite(record.dump(), store.directory() / kOwnershipFile);
}

std::string FirstRun::installationID(const ConfigStore &store) {
  fs::path file = store.directory() / kInstallationFile;
  if (fs::exists(file)) {
    std::string text;
    try {
      text = readFile(file, kRecordLimit);
    } catch (const ConnectorError &) {
      // Only the size limit throws this; so large a file holds no identifier.
      text.clear();
    }
    std::string_view trimmed = trimWhitespaceAndNewlines(text);
    if (!isUUID(trimmed)) {
      throw ConnectorError("Invalid Mac setup identifier. Your existing setup has been preserved.",
                           400);
    }
    return std::string(trimmed);
  }
  store.prepare();
  std::string identifier = newUUID();
  privateWrite(identifier, file);
  return identifier;
}

std::uint16_t FirstRun::availableBridgePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw ConnectorError("Cannot check the local connector port.", 400);
  }
  // No address reuse: a port that another socket still holds must count as taken.
  if (!bindLoopback(fd, kPreferredBridgePort) && !bindLoopback(fd, 0)) {
    closeSocket(fd);
    throw ConnectorError("No local connector port is available.", 400);
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  int status = ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
  closeSocket(fd);
  if (status != 0 || length < sizeof bound || bound.sin_family != AF_INET) {
    throw ConnectorError("Cannot determine connector port.", 400);
  }
  return ntohs(bound.sin_port);
}

} // namespace pellum
