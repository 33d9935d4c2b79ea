#include "management/NativeManagement.h"

#include "onboarding/FirstRun.h"
#include "onboarding/PairingRecovery.h"
#include "support/ConnectorError.h"
#include "support/Files.h"
#include "support/Unicode.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace pellum {

namespace {

using nlohmann::json;

constexpr std::string_view kEndOfOptions = "--";
constexpr std::size_t kCodeLength = 43;
// A header map holds at most 32 values of 8 KiB; a file far beyond that is not a header map,
// and is refused before it costs memory.
constexpr std::size_t kHeadersFileLimit = 1024 * 1024;

constexpr std::string_view kServiceUpdated = "Local service updated. ";
constexpr std::string_view kAgentStarted =
    "Connector started. It will start automatically at login.";

[[noreturn]] void fail(const char *message) { throw ConnectorError(message, 400); }

bool isCodeCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool isEnrollmentCode(std::string_view text) {
  return text.size() == kCodeLength && std::all_of(text.begin(), text.end(), isCodeCharacter);
}

using Words = std::vector<std::string>;

// The word after the first occurrence of `name` among the words before the first "--"; none
// when the name does not occur there or is the last word.
std::optional<std::string> optionValue(const Words &rest, std::string_view name) {
  auto end = std::find(rest.begin(), rest.end(), kEndOfOptions);
  auto found = std::find(rest.begin(), end, name);
  if (found == end || found + 1 == rest.end()) {
    return std::nullopt;
  }
  return *(found + 1);
}

bool containsWord(const Words &rest, std::string_view word) {
  return std::find(rest.begin(), rest.end(), word) != rest.end();
}

// A JSON object of strings to strings, checked as a user-given header map (names in lower
// case). JSON and type errors pass through as they come.
HeaderMap decodeHeaders(std::string_view text) {
  return LocalServer::validateHeaders(json::parse(text).get<HeaderMap>());
}

// The header map that the command names: the input with "--headers-input", else the file of
// "--headers-file"; none when neither is given.
std::optional<HeaderMap> givenHeaders(const Words &rest, const std::optional<std::string> &input) {
  if (containsWord(rest, "--headers-input") && input) {
    return decodeHeaders(*input);
  }
  if (std::optional<std::string> file = optionValue(rest, "--headers-file")) {
    return decodeHeaders(readFile(*file, kHeadersFileLimit));
  }
  return std::nullopt;
}

// "A,,B" -> A, B: empty pieces dropped, nothing else trimmed.
std::vector<std::string> splitNames(const std::string &text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) {
      names.push_back(text.substr(start, comma - start));
    }
    start = comma + 1;
  }
  return names;
}

} // namespace

NativeManagement::NativeManagement(ConfigStore configStore, std::filesystem::path executable)
    : NativeManagement(std::move(configStore), std::move(executable), Options()) {}

NativeManagement::NativeManagement(ConfigStore configStore, std::filesystem::path executable,
                                   Options options)
    : store(std::move(configStore)),
      service(LaunchService::create(store, std::move(executable), std::move(options.launch))),
      api(isolatedSession()), installer_(store, std::move(options.installer)),
      defaultOrigin_(std::move(options.defaultOrigin)) {}

std::string NativeManagement::execute(const std::vector<std::string> &arguments,
                                      const std::optional<std::string> &input) const {
  if (arguments.empty()) {
    fail("Choose a connector action.");
  }
  const std::string &verb = arguments.front();
  Words rest(arguments.begin() + 1, arguments.end());

  if (verb == "enroll") {
    return enroll(rest, input);
  }
  if (verb == "service") {
    return manageService(rest);
  }
  if (verb == "cloudflared" && !rest.empty() && rest.front() == "update") {
    return updateTunnelClient();
  }

  // Every other verb acts on the device record, so an unenrolled computer hears that first,
  // whatever the verb.
  DeviceConfig config = store.load();
  if (verb == "list") {
    return list(config);
  }
  if (rest.empty() || !LocalServer::isNamespace(rest.front())) {
    fail("Choose a valid namespace.");
  }
  const std::string &slug = rest.front();
  if (verb == "add") {
    return add(std::move(config), slug, rest, input);
  }
  if (verb == "remove") {
    return remove(std::move(config), slug);
  }
  if (verb == "headers") {
    return changeHeaders(std::move(config), slug, rest, input);
  }
  fail("Unsupported connector action.");
}

std::string NativeManagement::enroll(const Words &rest,
                                     const std::optional<std::string> &input) const {
  if (std::filesystem::exists(store.file())) {
    fail("This Mac is already enrolled. Use Start connector at login to switch its existing "
         "connector to the Mac app.");
  }
  std::string origin = optionValue(rest, "--endpoint").value_or(defaultOrigin_);
  endpoint(origin);
  std::string_view code = input ? trimWhitespaceAndNewlines(*input) : std::string_view();
  if (!input || !isEnrollmentCode(code)) {
    fail("Paste a valid enrollment code from your dashboard.");
  }
  // The tunnel client comes first: a code is spent by the service, so nothing that can still
  // fail locally should come after the call but the write and the agent.
  std::filesystem::path cloudflared = installer_.ensure(false);
  json answer = api.call(origin, std::nullopt, "/enroll", json{{"code", code}}, "POST");
  // The record belongs to the origin it was made with, and starts without local services,
  // whatever the service sent.
  answer["endpoint"] = origin;
  answer["servers"] = json::array();
  DeviceConfig config = answer.get<DeviceConfig>();
  store.save(config);
  // A failed install leaves an enrolled computer whose connector "service install" starts later.
  service->install(cloudflared, false);
  return "Enrolled " + config.name + ". Connector installed and started; it starts at login.";
}

std::string NativeManagement::manageService(const Words &rest) const {
  std::string action = rest.empty() ? std::string() : rest.front();
  if (action == "status") {
    return service->status();
  }
  if (action == "uninstall") {
    service->uninstall();
    return "Connector removed. Device credentials remain.";
  }
  if (action == "install" || action == "restart") {
    store.load();
    installAgent();
    return std::string(kAgentStarted);
  }
  fail("Unknown service action.");
}

std::string NativeManagement::updateTunnelClient() const {
  std::filesystem::path cloudflared = installer_.ensure(true);
  if (service->installed()) {
    store.load();
    service->install(cloudflared, false);
  }
  return "Cloudflare connector verified and updated.";
}

std::string NativeManagement::add(DeviceConfig config, const std::string &slug, const Words &rest,
                                  const std::optional<std::string> &input) const {
  auto sameSlug = [&slug](const LocalServer &server) { return server.slug == slug; };
  if (std::any_of(config.servers.begin(), config.servers.end(), sameSlug)) {
    fail("Namespace is already configured on this Mac.");
  }
  std::optional<std::string> url = optionValue(rest, "--url");
  LocalServer server(slug, optionValue(rest, "--name").value_or(slug), url ? "http" : "stdio");
  if (url) {
    server.url = std::move(url);
    server.headers = givenHeaders(rest, input);
  } else {
    auto end = std::find(rest.begin(), rest.end(), kEndOfOptions);
    if (end == rest.end() || end + 1 == rest.end()) {
      fail("Provide an executable and arguments.");
    }
    server.command = *(end + 1);
    server.args = Words(end + 2, rest.end());
    server.cwd = service->home().string();
    std::optional<std::string> names = optionValue(rest, "--env");
    server.envNames = names ? splitNames(*names) : Words();
  }
  server.validate();
  publish(config, server);
  config.servers.push_back(std::move(server));
  store.save(config);
  return restartStep();
}

std::string NativeManagement::remove(DeviceConfig config, const std::string &slug) const {
  auto sameSlug = [&slug](const LocalServer &server) { return server.slug == slug; };
  if (std::none_of(config.servers.begin(), config.servers.end(), sameSlug)) {
    fail("Local service not found.");
  }
  api.call(config.endpoint, config.credential, "/servers/" + slug, std::nullopt, "DELETE");
  // A hand-edited file may hold the namespace more than once; none of them stays.
  std::erase_if(config.servers, sameSlug);
  store.save(config);
  return restartStep();
}

std::string NativeManagement::changeHeaders(DeviceConfig config, const std::string &slug,
                                            const Words &rest,
                                            const std::optional<std::string> &input) const {
  auto found = std::find_if(
      config.servers.begin(), config.servers.end(),
      [&slug](const LocalServer &server) { return server.slug == slug && server.type == "http"; });
  if (found == config.servers.end()) {
    fail("Choose a local HTTP service.");
  }
  std::optional<HeaderMap> headers;
  if (containsWord(rest, "--clear")) {
    headers = HeaderMap();
  } else {
    headers = givenHeaders(rest, input);
  }
  if (!headers) {
    fail("Choose a headers JSON file or Clear headers.");
  }
  // The map replaces every other way the service had of adding headers or credentials.
  LocalServer server = *found;
  server.headers = std::move(headers);
  server.headerEnv.reset();
  server.authorizationEnv.reset();
  server.basicAuth.reset();
  publish(config, server);
  *found = std::move(server);
  store.save(config);
  return restartStep();
}

std::string NativeManagement::list(const DeviceConfig &config) {
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

void NativeManagement::publish(const DeviceConfig &config, const LocalServer &server) const {
  json body = {{"slug", server.slug}, {"name", server.name}, {"localTarget", server.localTarget()}};
  api.call(config.endpoint, config.credential, "/servers", body, "POST");
}

void NativeManagement::installAgent() const { service->install(installer_.ensure(false), false); }

std::string NativeManagement::restartStep() const {
  // Reinstalling reloads the agent, which restarts the connector with the new services.
  if (service->installed()) {
    installAgent();
  }
  return std::string(kServiceUpdated) +
         (service->installed() ? "Connector restarted."
                               : "Use Start connector at login to start the connector.");
}

void NativeManagement::finishPairing(const DeviceConfig &device,
                                     const std::filesystem::path &cloudflared,
                                     const std::optional<std::string> &accountID) const {
  if (std::filesystem::exists(store.file())) {
    // Another pairing may have been made meanwhile (the command line, another app); it is never
    // overwritten. The same pairing keeps the record as stored.
    DeviceConfig stored = store.load();
    if (stored.id != device.id || stored.endpoint != device.endpoint) {
      fail("An existing pairing appeared during setup. It was preserved; restart the app to "
           "convert it.");
    }
  } else {
    store.save(device);
  }
  FirstRun::markOwned(store, device, false, accountID);
  service->install(cloudflared, false);
  FirstRun::markOwned(store, device, true, std::nullopt);
}

DeviceConfig NativeManagement::convertExistingPairing() const {
  service->validateExecutable();
  DeviceConfig config = store.load();
  service->install(installer_.ensure(false), true);
  FirstRun::markOwned(store, config, true, std::nullopt);
  return config;
}

bool NativeManagement::resetRevokedPairing(const DeviceConfig &device) const {
  if (!PairingRecovery::matches(device, store)) {
    return false;
  }
  service->uninstall();
  service->stopForegroundConnector();
  return PairingRecovery::clear(device, store);
}

} // namespace pellum
