#include "RunProcess.h"

#include "platform/Environment.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char **environ;

namespace pellum::test {

namespace {

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) {
      ::close(read);
      read = -1;
    }
  }
  void closeWrite() {
    if (write >= 0) {
      ::close(write);
      write = -1;
    }
  }
};

} // namespace

std::map<std::string, std::string>
environmentWith(const std::map<std::string, std::optional<std::string>> &changes) {
  std::map<std::string, std::string> result = processEnvironment();
  for (const auto &[name, value] : changes) {
    if (value) {
      result[name] = *value;
    } else {
      result.erase(name);
    }
  }
  return result;
}

ProcessResult runProcess(const ProcessOptions &options) {
  // A child that exits without reading its input must not take the test down with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input) {
    posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  if (options.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
  }
  if (options.closedOutput) {
    out.closeRead();
  }

  std::vector<char *> argv;
  for (const std::string &argument : options.arguments) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<std::string> environmentText;
  std::vector<char *> envp;
  if (options.environment) {
    for (const auto &[name, value] : *options.environment) {
      environmentText.push_back(name + "=" + value);
    }
    for (std::string &entry : environmentText) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
  }
  // The child starts with default signal handling and mask, whatever this process ignores.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, options.executable.c_str(), &actions, &attributes, argv.data(),
                            options.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    throw std::system_error(spawned, std::generic_category(), "posix_spawn");
  }
  in.closeRead();
  out.closeWrite();
  err.closeWrite();
  if (!options.input) {
    in.closeWrite();
  }

  ProcessResult result;
  std::string_view pending = options.input ? std::string_view(*options.input) : "";
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (out.read >= 0 || err.read >= 0 || in.write >= 0) {
    if (in.write >= 0 && pending.empty()) {
      in.closeWrite();
      continue;
    }
    pollfd fds[3] = {{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    int ready = ::poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (fds[0].revents != 0) {
      // A child that closed its input (or exited) makes the write fail; nothing more to send.
      ssize_t written = ::write(in.write, pending.data(), pending.size());
      if (written <= 0) {
        in.closeWrite();
      } else {
        pending.remove_prefix(static_cast<std::size_t>(written));
      }
    }
    Pipe *readers[2] = {&out, &err};
    std::string *sinks[2] = {&result.standardOutput, &result.standardError};
    for (int i = 0; i < 2; ++i) {
      if (fds[i + 1].revents == 0) {
        continue;
      }
      char buffer[65536];
      ssize_t count = ::read(readers[i]->read, buffer, sizeof buffer);
      if (count > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        readers[i]->closeRead();
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.exitStatus = WTERMSIG(status);
  } else {
    result.exitStatus = WEXITSTATUS(status);
  }
  return result;
}

} // namespace pellum::test
