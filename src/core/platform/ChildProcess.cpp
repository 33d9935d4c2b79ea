#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>

#ifdef __APPLE__
#include <libproc.h>
#endif

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
  group_ = options.processGroup && !options.newSession;
  reaper_ = std::jthread([this] { reap(); });
}

ChildProcess::~ChildProcess() {
  signal(SIGKILL);
  {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
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
  std::unique_lock lock(mutex_);
  exited_ = true;
  changed_.notify_all();
  // A group outlives its leader: keep the leader's id reserved while the rest may still be
  // signalled, and look now and then whether they have gone.
  constexpr std::chrono::milliseconds kGroupLook{50};
  while (group_ && !released_) {
    lock.unlock();
    bool others = !processGroupMembers(pid_).empty();
    lock.lock();
    if (!others || released_) {
      break;
    }
    changed_.wait_for(lock, kGroupLook, [this] { return released_; });
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
  changed_.notify_all();
}

bool ChildProcess::running() const {
  std::lock_guard lock(mutex_);
  return !exited_;
}

bool ChildProcess::signal(int number) {
  std::lock_guard lock(mutex_);
  if (reaped_ || pid_ <= 0) {
    return false;
  }
  bool sent = ::kill(group_ ? -pid_ : pid_, number) == 0;
  if (number == SIGKILL) {
    released_ = true; // nothing of the group outlives this
    changed_.notify_all();
  }
  return sent;
}

bool ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [this] { return reaped_; });
}

void ChildProcess::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return reaped_; });
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

std::vector<pid_t> processGroupMembers(pid_t group) {
  std::vector<pid_t> members;
#ifdef __APPLE__
  std::vector<pid_t> found(4096);
  int bytes = proc_listpids(PROC_PGRP_ONLY, static_cast<uint32_t>(group), found.data(),
                            static_cast<int>(found.size() * sizeof(pid_t)));
  for (int i = 0; bytes > 0 && i < bytes / static_cast<int>(sizeof(pid_t)); ++i) {
    if (found[static_cast<std::size_t>(i)] > 0) {
      members.push_back(found[static_cast<std::size_t>(i)]);
    }
  }
#else
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return members;
  }
  while (dirent *entry = readdir(proc)) {
    char *end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') {
      continue;
    }
    std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat;
    std::getline(file, stat);
    // "pid (name) state ppid pgrp ...": the name may hold anything, so read after its last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    char state = 0;
    long parent = 0, processGroup = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &parent, &processGroup) == 3 &&
        processGroup == group && state != 'Z' && state != 'X') {
      members.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
#endif
  return members;
}

} // namespace pellum
