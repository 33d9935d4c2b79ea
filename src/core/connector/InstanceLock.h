#pragma once

#include "platform/FileDescriptor.h"

#include <filesystem>

namespace pellum {

// Makes sure only one connector runs on a configuration directory: an exclusive advisory lock
// (flock) on "native.lock", held for the life of the object, and "running.pid" naming this
// process. The lock belongs to the open file, so the operating system drops it whatever way the
// process ends; a "running.pid" left behind by a killed run is ignored once its process is gone.
// One thread at a time.
class InstanceLock {
public:
  // In this order: refuses with ConnectorError("A connector is already running. Stop it before
  // starting the connector.", 400) when "running.pid" holds a positive id of a process that
  // exists and may be signalled; opens "native.lock" (created 0600, never deleted) and locks it
  // without waiting, else ConnectorError("A connector is already running.", 400); writes this
  // process's id to "running.pid" atomically (mode 0600, digits only). A failure of that write
  // releases the lock and is thrown as it comes.
  explicit InstanceLock(std::filesystem::path directory);
  ~InstanceLock() { release(); }
  InstanceLock(const InstanceLock &) = delete;
  InstanceLock &operator=(const InstanceLock &) = delete;

  // Unlocks and closes "native.lock" and removes "running.pid", ignoring errors. Later calls do
  // nothing.
  void release();

private:
  std::filesystem::path directory_;
  FileDescriptor lock_;
};

} // namespace pellum
