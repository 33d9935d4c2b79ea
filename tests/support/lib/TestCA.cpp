#include "TestCA.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

extern char **environ;

namespace pellum::test {

namespace {

// Runs openssl with `arguments`, its output discarded, and waits for it.
void openssl(const std::vector<std::string> &arguments) {
  std::vector<char *> argv;
  std::string program = "openssl";
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (auto &argument : copies) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot run openssl");
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("openssl failed: " + arguments.front());
  }
}

bool isIPAddress(const std::string &name) {
  return name.find(':') != std::string::npos ||
         name.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

TestCA::TestCA() {
  caFile_ = directory_.path() / "ca.pem";
  caKey_ = directory_.path() / "ca.key";
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", caKey_.string(), "-out", caFile_.string(), "-days", "2", "-subj",
           "/CN=Pellum Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
           "keyUsage=critical,keyCertSign,cRLSign"});
}

TestCA::Certificate TestCA::issue(const std::vector<std::string> &names) {
  std::string stem = (directory_.path() / ("leaf" + std::to_string(++issued_))).string();
  Certificate result{stem + ".pem", stem + ".key"};

  std::string alternativeNames;
  for (const auto &name : names) {
    alternativeNames += (alternativeNames.empty() ? "" : ",") +
                        std::string(isIPAddress(name) ? "IP:" : "DNS:") + name;
  }
  {
    std::ofstream extensions(stem + ".ext");
    extensions << "basicConstraints=CA:FALSE\n"
               << "keyUsage=critical,digitalSignature\n"
               << "extendedKeyUsage=serverAuth\n"
               << "subjectAltName=" << alternativeNames << "\n";
  }
  openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", result.keyFile.string(), "-out", stem + ".csr", "-subj",
           "/CN=" + (names.empty() ? std::string("test") : names.front())});
  openssl({"x509", "-req", "-in", stem + ".csr", "-CA", caFile_.string(), "-CAkey", caKey_.string(),
           "-CAcreateserial", "-days", "2", "-extfile", stem + ".ext", "-out",
           result.certFile.string()});
  return result;
}

} // namespace pellum::test
