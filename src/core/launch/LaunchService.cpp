#include "launch/LaunchService.h"

#include "launch/LaunchdService.h"
#include "launch/SystemdService.h"
#include "platform/ProcessArguments.h"
#include "platform/ServiceManager.h"
#include "platform/User.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Files.h"
#include "support/ProcessId.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pellum {

namespace {

constexpr double kCommandTimeout = 30;
constexpr std::size_t kOutputLimit = 4 * 1024 * 1024;
// Agent files and package manifests are small; anything bigger is not ours.
constexpr std::size_t kFileLimit = 1024 * 1024;
constexpr int kStopProbes = 100;
constexpr double kStopProbeDelay = 0.1;

constexpr std::string_view kConnectorName = "PellumConnector";
constexpr std::string_view kCliPackage = "pellum-cli";

void realSleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string lastComponent(std::string_view path) {
  return std::filesystem::path(path).filename().string();
}

bool isCliPackage(const std::filesystem::path &manifest) {
  try {
    nlohmann::json json = nlohmann::json::parse(readFile(manifest, kFileLimit));
    auto name = json.find("name");
    return json.is_object() && name != json.end() && name->is_string() &&
           name->get<std::string>() == kCliPackage;
  } catch (const std::exception &) {
    return false;
  }
}

} // namespace

LaunchService::LaunchService(ConfigStore store, std::filesystem::path executable, Settings settings,
                             std::filesystem::path defaultManager)
    : store_(std::move(store)), executable_(std::move(executable)),
      home_(settings.home ? std::move(*settings.home) : homeDirectory()),
      uid_(settings.uid ? *settings.uid : getuid()),
      manager_(settings.manager ? std::move(*settings.manager) : std::move(defaultManager)),
      ps_(std::move(settings.ps)), sleep_(settings.sleep ? std::move(settings.sleep) : realSleep) {}

std::unique_ptr<LaunchService>
LaunchService::create(ConfigStore store, std::filesystem::path executable, Settings settings) {
  if constexpr (kNativeServiceManager == ServiceManager::launchd) {
    return std::make_unique<LaunchdService>(std::move(store), std::move(executable),
                                            std::move(settings));
  } else {
    return std::make_unique<SystemdService>(std::move(store), std::move(executable),
                                            std::move(settings));
  }
}

std::filesystem::path
LaunchService::helperURL(const std::filesystem::path &bundleURL,
                         const std::optional<std::filesystem::path> &executableURL) {
  std::filesystem::path bundle = bundleURL.has_filename() ? bundleURL : bundleURL.parent_path();
  if (bundle.extension() == ".app") {
    return bundle / "Contents" / "Helpers" / kConnectorName;
  }
  if (executableURL) {
    return executableURL->parent_path() / kConnectorName;
  }
  return bundle / kConnectorName;
}

bool LaunchService::isExecutableFile(const std::filesystem::path &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

void LaunchService::validateExecutable() const {
  if (!isExecutableFile(executable_)) {
    throw ConnectorError("Connector executable is missing at " + executable_.string() +
                             ". Build the Pellum scheme with its PellumConnector helper, or "
                             "rebuild the app using macOS/scripts/build.",
                         400);
  }
}

bool LaunchService::installed() const {
  return std::filesystem::exists(agentFile(label)) || std::filesystem::exists(agentFile(cliLabel));
}

CommandResult LaunchService::runManager(const std::vector<std::string> &arguments) const {
  return command(manager_.string(), arguments, kCommandTimeout, kOutputLimit, std::nullopt, true);
}

std::string LaunchService::readAgentBytes(const std::filesystem::path &file) {
  return readFile(file, kFileLimit);
}

std::optional<LaunchService::Agent> LaunchService::readAgent(std::string_view agentLabel) const {
  std::filesystem::path file = agentFile(agentLabel);
  if (!std::filesystem::exists(file)) {
    return std::nullopt;
  }
  return decodeAgentBytes(readAgentBytes(file));
}

void LaunchService::removeAgent(std::string_view agentLabel) const {
  std::filesystem::path file = agentFile(agentLabel);
  if (std::filesystem::exists(file)) {
    std::filesystem::remove(file);
  }
}

std::string LaunchService::agentProgram(std::string_view agentLabel) const {
  std::optional<Agent> agent = readAgent(agentLabel);
  if (!agent) {
    // The file vanished between the existence test and the read: a read failure.
    throw std::system_error(ENOENT, std::generic_category(), agentFile(agentLabel).string());
  }
  return agent->programArguments.empty() ? std::string() : agent->programArguments.front();
}

void LaunchService::install(const std::filesystem::path &cloudflared,
                            bool stopExistingConnector) const {
  checkAvailable();
  store_.prepare();
  validateExecutable();
  std::filesystem::create_directories(agentFile(label).parent_path());
  for (const char *name : {"service.log", "service-error.log"}) {
    std::filesystem::path log = store_.directory() / name;
    if (!std::filesystem::exists(log)) {
      privateWrite("", log);
    }
    std::filesystem::permissions(
        log, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace);
  }
  std::string definition = definitionText(cloudflared);
  unload(cliLabel);
  unload(label);
  if (stopExistingConnector) {
    stopForegroundConnector();
  }
  privateWrite(definition, agentFile(label));
  enable();
  bootstrap(
      0.2, 50, [this] { return bootstrapAttempt(); }, sleep_, managerName());
  removeAgent(cliLabel);
}

void LaunchService::uninstall() const {
  for (std::string_view agentLabel : {label, cliLabel}) {
    unload(agentLabel);
    removeAgent(agentLabel);
  }
}

std::string LaunchService::status() const {
  if (!installed()) {
    return "Connector is not installed.";
  }
  std::string_view agentLabel = std::filesystem::exists(agentFile(label)) ? label : cliLabel;
  std::string program = agentProgram(agentLabel);
  std::string title = lastComponent(program) == kConnectorName
                          ? "Connector"
                          : "Existing CLI connector (choose Start connector at login to migrate)";
  std::string state = loadedState(agentLabel);
  return title + ": " + std::string(trimBlanks(state)) +
         "\nLogs: " + (store_.directory() / "service-error.log").string();
}

void LaunchService::bootstrap(double retryDelay, int attempts,
                              const std::function<CommandResult()> &run,
                              const std::function<void(double)> &sleep, std::string_view manager) {
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    CommandResult result = run();
    if (result.succeeded()) {
      return;
    }
    if (attempt == attempts) {
      throw ConnectorError("Cannot register the connector with " + std::string(manager) +
                               " (exit " + std::to_string(result.exitStatus) + "). " +
                               std::string(trimWhitespace(result.outputBytes)),
                           400);
    }
    sleep(retryDelay);
  }
}

void LaunchService::stopForegroundConnector() const {
  std::string text;
  try {
    // A PID file is a few digits; a large one is not ours to trust.
    text = readFile(store_.directory() / "running.pid", 4096);
  } catch (const std::exception &) {
    return;
  }
  std::optional<std::int32_t> parsed = parsePid(text);
  if (!parsed || *parsed < 2) {
    return;
  }
  auto pid = static_cast<pid_t>(*parsed);
  if (::kill(pid, 0) != 0) {
    return;
  }
  CommandResult owner = command(ps_.string(), {"-p", std::to_string(pid), "-o", "uid="},
                                kCommandTimeout, kOutputLimit);
  if (trimWhitespace(owner.outputBytes) != std::to_string(uid_)) {
    throw ConnectorError(
        "The running connector cannot be safely identified. Stop it in its terminal and retry.",
        400);
  }
  if (!isConnectorCommand(processArguments(pid))) {
    throw ConnectorError(
        "The PID file does not identify a Pellum connector. No process was stopped.", 400);
  }
  if (::kill(pid, SIGTERM) != 0 && errno != ESRCH) {
    throw ConnectorError("Could not stop the existing CLI connector.", 400);
  }
  for (int probe = 0; probe < kStopProbes; ++probe) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
      return;
    }
    sleep_(kStopProbeDelay);
  }
  throw ConnectorError("The CLI is still stopping. Retry conversion when it has exited.", 400);
}

bool LaunchService::isConnectorCommand(const std::vector<std::string> &arguments) {
  if (arguments.size() >= 2 && lastComponent(arguments[0]) == kConnectorName &&
      arguments[1] == "start") {
    return true;
  }
  if (arguments.size() < 3 || arguments[2] != "start") {
    return false;
  }
  std::string interpreter = lastComponent(arguments[0]);
  if (interpreter != "node" && interpreter != "nodejs") {
    return false;
  }
  std::filesystem::path script(arguments[1]);
  if (script.filename() != "main.js") {
    return false;
  }
  return isCliPackage(script.parent_path().parent_path() / "package.json");
}

} // namespace pellum
