#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>

extern char **environ;

namespace pellum {

namespace {

void check(int error, const char *what) {
  if (error != 0) {
    throw std::system_error(error, std::generic_category(), what);
  }
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnPlan {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;

  SpawnPlan() {
    check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    int error = posix_spawnattr_init(&attributes);
    if (error != 0) {
      posix_spawn_file_actions_destroy(&actions);
      check(error, "posix_spawnattr_init");
    }
  }
  ~SpawnPlan() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  SpawnPlan(const SpawnPlan &) = delete;
  SpawnPlan &operator=(const SpawnPlan &) = delete;

  void stream(int source, int target) {
    if (source >= 0) {
      check(posix_spawn_file_actions_adddup2(&actions, source, target),
            "posix_spawn_file_actions_adddup2");
    } else {
      check(posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                             target == 0 ? O_RDONLY : O_WRONLY, 0),
            "posix_spawn_file_actions_addopen");
    }
  }
};

} // namespace

ChildProcess::ChildProcess(const Options &options) {
  SpawnPlan plan;
  plan.stream(options.standardInput, 0);
  plan.stream(options.standardOutput, 1);
  plan.stream(options.standardError, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors that other threads opened without close-on-exec must not leak into children.
  check(posix_spawn_file_actions_addclosefrom_np(&plan.actions, 3),
        "posix_spawn_file_actions_addclosefrom_np");
#endif
  if (options.workingDirectory) {
    check(posix_spawn_file_actions_addchdir_np(&plan.actions, options.workingDirectory->c_str()),
          "posix_spawn_file_actions_addchdir_np");
  }

  // The connector ignores or blocks some signals for itself (SIGPIPE, SIGTERM); children must
  // start with the defaults, or they could not be terminated.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
  if (options.newSession) {
    flags |= POSIX_SPAWN_SETSID;
  } else if (options.processGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    check(posix_spawnattr_setpgroup(&plan.attributes, 0), "posix_spawnattr_setpgroup");
  }
  check(posix_spawnattr_setsigmask(&plan.attributes, &none), "posix_spawnattr_setsigmask");
  check(posix_spawnattr_setsigdefault(&plan.attributes, &all), "posix_spawnattr_setsigdefault");
  check(posix_spawnattr_setflags(&plan.attributes, flags), "posix_spawnattr_setflags");

  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(options.executable.c_str()));
  for (const std::string &argument : options.arguments) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);

  std::vector<std::string> variables;
  std::vector<char *> envp;
  if (options.environment) {
    for (const auto &[name, value] : *options.environment) {
      variables.push_back(name + "=" + value);
    }
    for (std::string &variable : variables) {
      envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  check(posix_spawn(&pid, options.executable.c_str(), &plan.actions, &plan.attributes, argv.data(),
                    options.environment ? envp.data() : environ),
        "posix_spawn");
  pid_ = pid;
  processGroup_ = options.processGroup;
  reaper_ = std::jthread([this] { reap(); });
}

ChildProcess::~ChildProcess() {
  signal(SIGKILL);
  if (reaper_.joinable()) {
    reaper_.join();
  }
  if (killer_.joinable()) {
    killer_.join();
  }
}

void ChildProcess::reap() {
  // Wait for the exit without reaping, so the process id stays reserved (as a zombie) until we
  // hold the lock that signal() takes.
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0 || errno != EINTR) {
      break;
    }
  }
  std::lock_guard lock(mutex_);
  if (processGroup_) {
    ::kill(-pid_, SIGKILL);
  }
  int raw = 0;
  pid_t result;
  do {
    result = waitpid(pid_, &raw, 0);
  } while (result < 0 && errno == EINTR);
  if (result == pid_ && WIFSIGNALED(raw)) {
    status_ = {WTERMSIG(raw), true};
  } else if (result == pid_ && WIFEXITED(raw)) {
    status_ = {WEXITSTATUS(raw), false};
  } else {
    // Reaped behind our back (SIGCHLD ignored): the status is lost.
    status_ = {-1, false};
  }
  reaped_ = true;
  exited_.notify_all();
}

bool ChildProcess::running() const {
  std::lock_guard lock(mutex_);
  return !reaped_;
}

bool ChildProcess::signal(int number) {
  std::lock_guard lock(mutex_);
  if (reaped_ || pid_ <= 0) {
    return false;
  }
  return ::kill(processGroup_ ? -pid_ : pid_, number) == 0;
}

bool ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return exited_.wait_until(lock, deadline, [this] { return reaped_; });
}

void ChildProcess::wait() {
  std::unique_lock lock(mutex_);
  exited_.wait(lock, [this] { return reaped_; });
}

ChildProcess::Status ChildProcess::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(mutex_);
    if (terminating_ || reaped_) {
      return;
    }
    terminating_ = true;
  }
  signal(SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + grace;
  killer_ = std::jthread([this, deadline] {
    if (!waitUntil(deadline)) {
      signal(SIGKILL);
    }
  });
}

} // namespace pellum
