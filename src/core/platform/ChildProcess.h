#pragma once

#include "platform/Environment.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pellum {

// One child process started with posix_spawn and always reaped by its own reaper thread.
//
// Signals are only ever sent while the child has not been reaped (the reaper takes the same
// lock to reap), so a signal can never reach a recycled process id. A child started in a
// process group of its own gets its signals as a group, and once it has exited it is left
// unreaped (its id, which is also the group's, stays reserved) until the rest of its group
// has gone or been killed. The destructor kills a
// child that still runs, reaps it and joins every thread, so no zombie or thread outlives the
// object. All members are safe for concurrent use.
class ChildProcess {
public:
  struct Options {
    std::string executable; // absolute path; also the child's argv[0]
    std::vector<std::string> arguments;
    // The child's whole environment; the caller's when absent.
    std::optional<Environment> environment;
    std::optional<std::string> workingDirectory;
    // Descriptors to install as the child's standard streams; -1 means the null device.
    int standardInput = -1;
    int standardOutput = -1;
    int standardError = -1;
    // Starts the child in a session of its own, without a controlling terminal, so that an
    // interactive shell cannot take the terminal from us.
    bool newSession = false;
    // Starts the child as the leader of a new process group: signals go to the whole group, so
    // that whatever the child starts ends with it.
    bool processGroup = false;
  };

  struct Status {
    // The exit code, or the number of the signal that ended the child.
    int code = 0;
    bool signaled = false;
  };

  // Launches the child. The child gets default signal dispositions, an empty signal mask and
  // only the three standard descriptors. A launch failure (missing file, not executable,
  // missing working directory) throws std::system_error.
  explicit ChildProcess(const Options &options);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  pid_t pid() const { return pid_; }
  // True until the child has exited.
  bool running() const;
  // Sends `number` (to the group, for a group leader) unless the child has been reaped;
  // returns whether it was sent.
  bool signal(int number);
  // Blocks until the child has been reaped (for a group leader: and the rest of its group has
  // gone or been sent SIGKILL) or `deadline` has passed; returns whether it was reaped.
  bool waitUntil(std::chrono::steady_clock::time_point deadline);
  void wait();
  // How the child ended; meaningful once running() is false.
  Status status() const;
  // Sends SIGTERM now and SIGKILL after `grace` if the child (or, for a group leader, anything
  // of its group) still runs then. Returns at once; later calls do nothing.
  void terminate(std::chrono::milliseconds grace);

private:
  void reap();

  pid_t pid_ = -1;
  bool group_ = false;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool exited_ = false;
  bool reaped_ = false;
  // The group may be let go of: its leader is reaped as soon as it has exited.
  bool released_ = false;
  bool terminating_ = false;
  Status status_;
  std::jthread reaper_;
  std::jthread killer_;
};

// The processes of process group `group` that have not exited (zombies excluded). Empty when
// the system cannot tell.
std::vector<pid_t> processGroupMembers(pid_t group);

} // namespace pellum
