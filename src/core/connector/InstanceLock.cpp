#include "connector/InstanceLock.h"

#include "config/ConfigStore.h"
#include "support/ConnectorError.h"
#include "support/Files.h"
#include "support/ProcessId.h"

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace pellum {

namespace {

constexpr const char *kPidFile = "running.pid";
constexpr const char *kLockFile = "native.lock";
// A PID file is a few digits; anything larger is not one.
constexpr std::size_t kPidFileLimit = 4096;

bool pidFileNamesLiveProcess(const std::filesystem::path &file) {
  std::optional<std::int32_t> pid;
  try {
    pid = parsePid(readFile(file, kPidFileLimit));
  } catch (const std::exception &) {
    return false;
  }
  return pid && *pid > 0 && ::kill(static_cast<pid_t>(*pid), 0) == 0;
}

} // namespace

InstanceLock::InstanceLock(std::filesystem::path directory) : directory_(std::move(directory)) {
  if (pidFileNamesLiveProcess(directory_ / kPidFile)) {
    throw ConnectorError("A connector is already running. Stop it before starting the connector.",
                         400);
  }
  FileDescriptor lock(
      ::open((directory_ / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    throw ConnectorError("A connector is already running.", 400);
  }
  lock_ = std::move(lock);
  try {
    std::filesystem::path pidFile = directory_ / kPidFile;
    privateWrite(std::to_string(::getpid()), pidFile);
    std::filesystem::permissions(pidFile, std::filesystem::perms::owner_read |
                                              std::filesystem::perms::owner_write);
  } catch (...) {
    release();
    throw;
  }
}

void InstanceLock::release() {
  if (!lock_.valid()) {
    return;
  }
  ::flock(lock_.get(), LOCK_UN);
  lock_.reset();
  std::error_code ignored;
  std::filesystem::remove(directory_ / kPidFile, ignored);
}

} // namespace pellum
