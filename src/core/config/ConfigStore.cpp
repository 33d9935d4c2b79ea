#include "config/ConfigStore.h"

#include "config/SecretsEnv.h"
#include "config/ServiceOrigin.h"
#include "platform/User.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Files.h"
#include "support/Unicode.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pellum {

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

[[noreturn]] void throwErrno(int error) { throw std::system_error(error, std::generic_category()); }

std::filesystem::path resolveDirectory() {
  const char *value = std::getenv("PELLUM_CONFIG_DIR");
  if (value == nullptr) {
    value = std::getenv("KESTRIN_CONFIG_DIR");
  }
  if (value != nullptr && *value != '\0') {
    return absolutePathOrAsGiven(value);
  }
  std::filesystem::path home = homeDirectory();
  std::filesystem::path current = home / ".pellum";
  std::filesystem::path legacy = home / ".kestrin";
  std::error_code ignored;
  if (!std::filesystem::exists(current / "config.json", ignored) &&
      std::filesystem::exists(legacy / "config.json", ignored)) {
    return legacy;
  }
  return current;
}

// mkdir -p, asking for owner-only modes on everything it creates.
void createDirectories(const std::filesystem::path &directory) {
  std::filesystem::path partial;
  for (const std::filesystem::path &component : directory) {
    partial /= component;
    if (::mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
      throwErrno(errno);
    }
  }
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    throwErrno(errno);
  }
  if (!S_ISDIR(status.st_mode)) {
    throwErrno(ENOTDIR);
  }
}

// After a rename the new directory entry is durable only once the directory is flushed too.
// Some file systems refuse fsync on directories; the file itself is already safe then.
void syncDirectory(const std::filesystem::path &directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

} // namespace

ConfigStore::ConfigStore(std::optional<std::filesystem::path> directory)
    : directory_(directory ? std::move(*directory) : resolveDirectory()) {}

void ConfigStore::prepare() const {
  createDirectories(directory_);
  if (::chmod(directory_.c_str(), kDirectoryMode) != 0) {
    throwErrno(errno);
  }
}

DeviceConfig ConfigStore::load() const {
  std::error_code error;
  if (!std::filesystem::exists(file(), error) && !error) {
    throw ConnectorError(
        "This Mac is not enrolled. Create a device in your dashboard, then enroll it here.", 400);
  }
  auto config = nlohmann::json::parse(readFile(file())).get<DeviceConfig>();
  if (config.endpoint == kLegacyServiceOrigin) {
    config.endpoint = kDefaultServiceOrigin;
  }
  config.validate();
  return config;
}

void ConfigStore::save(const DeviceConfig &config) const {
  config.validate();
  prepare();
  privateWrite(nlohmann::json(config).dump(2) + "\n", file());
}

Environment ConfigStore::environment() const {
  Environment merged = processEnvironment();
  std::filesystem::path secrets = directory_ / "secrets.env";
  std::error_code error;
  if (!std::filesystem::exists(secrets, error) && !error) {
    return merged;
  }
  std::string text = readFile(secrets);
  if (!isValidUTF8(text)) {
    throwErrno(EILSEQ);
  }
  for (auto &[name, value] : parseEnvironment(text)) {
    merged.emplace(name, std::move(value)); // the process environment wins
  }
  return merged;
}

void privateWrite(std::string_view bytes, const std::filesystem::path &destination) {
  std::filesystem::path directory = destination.parent_path();
  if (directory.empty()) {
    directory = ".";
  }
  std::filesystem::path temporary = directory / (newUUID() + ".tmp");
  int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  if (fd < 0) {
    throw ConnectorError("Cannot create private configuration file.", 400);
  }
  struct Cleanup {
    const std::filesystem::path &path;
    int fd;
    ~Cleanup() {
      if (fd >= 0) {
        ::close(fd);
      }
      ::unlink(path.c_str());
    }
  } cleanup{temporary, fd};

  // The umask may have narrowed the mode we asked for; make it exactly owner read and write.
  if (::fchmod(fd, kFileMode) != 0) {
    throwErrno(errno);
  }
  writeAll(fd, bytes);
  if (::fsync(fd) != 0) {
    throwErrno(errno);
  }
  cleanup.fd = -1;
  if (::close(fd) != 0) {
    throwErrno(errno);
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    throw ConnectorError("Cannot save configuration.", 400);
  }
  syncDirectory(directory);
}

} // namespace pellum
