// The real connector program under "start": signals, a second start, a dying tunnel client, no
// network, and what the tunnel client is given.

#include "ConnectorFixture.h"

#include "platform/ChildProcess.h"
#include "platform/FileDescriptor.h"

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace pellum::connectortest {
namespace {

// One connector process started with "start --cloudflared <tunnel>" whose output goes to files.
class ConnectorProcess {
public:
  ConnectorProcess(const fs::path &configDirectory, const fs::path &tunnel, const fs::path &logs,
                   Environment extra = {},
                   std::optional<std::string> workingDirectory = std::nullopt)
      : out_(logs / ("out-" + std::to_string(++count_))),
        err_(logs / ("err-" + std::to_string(count_))) {
    FileDescriptor out(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    FileDescriptor err(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ChildProcess::Options options;
    options.executable = test::connectorPath().string();
    options.arguments = {"start", "--cloudflared", tunnel.string()};
    Environment environment = processEnvironment();
    environment["PELLUM_CONFIG_DIR"] = configDirectory.string();
    for (const auto &[name, value] : extra) {
      environment[name] = value;
    }
    options.environment = environment;
    options.standardOutput = out.get();
    options.standardError = err.get();
    options.workingDirectory = std::move(workingDirectory);
    process_.emplace(options);
  }

  // A connector still running is stopped the way launchd stops it, so that it ends its tunnel
  // client; SIGKILL only when that fails.
  ~ConnectorProcess() {
    if (process_->running()) {
      process_->signal(SIGTERM);
      if (!process_->waitUntil(std::chrono::steady_clock::now() + 10s)) {
        process_->signal(SIGKILL);
      }
    }
  }

  ChildProcess &process() { return *process_; }
  // Waits for the end (at most 20 s, then kills it) and returns its exit status, or -1 when it
  // was ended by a signal.
  int exitStatus() {
    if (!process_->waitUntil(std::chrono::steady_clock::now() + 20s)) {
      ADD_FAILURE() << "the connector did not end";
      process_->signal(SIGKILL);
      process_->wait();
    }
    return process_->status().signaled ? -1 : process_->status().code;
  }
  std::string out() const { return readText(out_); }
  std::string err() const { return readText(err_); }

private:
  static inline int count_ = 0;
  fs::path out_;
  fs::path err_;
  std::optional<ChildProcess> process_;
};

class ConnectorProgramRun : public ConnectorTest {
protected:
  std::unique_ptr<ConnectorProcess> launch(Environment extra = {}) {
    return std::make_unique<ConnectorProcess>(configDirectory, tunnel, home.path(),
                                              std::move(extra));
  }
};

TEST_F(ConnectorProgramRun, StopsCleanlyOnSIGTERMAndSIGINT) {
  enroll({stdioServer("alpha")});
  fs::create_directories(configDirectory);
  std::ofstream(configDirectory / "secrets.env") << "NOTES_TOKEN=from-secrets\nPATH=/secret/bin\n";
  for (int number : {SIGTERM, SIGINT}) {
    fs::remove(record());
    std::unique_ptr<ConnectorProcess> connector =
        launch({{"EXTRA_VARIABLE", "x"}, {"TMPDIR", "/tmp"}, {"USER", "tester"}});
    ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
    EXPECT_EQ(readText(configDirectory / "running.pid"),
              std::to_string(connector->process().pid()));
    // The running line comes once the tunnel client runs; the handlers are in place by then.
    ASSERT_TRUE(eventually([&] { return !connector->out().empty(); }));
    connector->process().signal(number);
    EXPECT_EQ(connector->exitStatus(), 0);
    EXPECT_EQ(connector->out(), "Connector running for Test Mac, 1 local service(s).\n");
    EXPECT_EQ(connector->err(), "");
    EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
    EXPECT_TRUE(fs::exists(configDirectory / "native.lock"));
    EXPECT_TRUE(lockIsFree());
  }

  // Only the token and four plain variables reach the tunnel client; the process environment
  // wins over secrets.env, and a secret of a local service never gets there.
  std::string expected = "arg tunnel\narg --no-autoupdate\narg run\n";
  expected += "env HOME=" + std::string(std::getenv("HOME")) + "\n";
  expected += "env PATH=" + std::string(std::getenv("PATH")) + "\n";
  expected +=
      "env TMPDIR=/tmp\nenv TUNNEL_TOKEN=" + ConfigStore(configDirectory).load().tunnelToken +
      "\nenv USER=tester\n";
  std::string recorded = readText(record());
  std::vector<std::string> lines;
  std::istringstream stream(recorded);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  std::sort(lines.begin() + 3, lines.end());
  std::string sorted;
  for (const std::string &line : lines) {
    sorted += line + "\n";
  }
  EXPECT_EQ(sorted, expected);
}

TEST_F(ConnectorProgramRun, TunnelClientPathIsFollowedByTheFileSystemNotFoldedAsText) {
  enroll();
  // From home, "link/../cloudflared" goes through link into real/sub and up to real; folding the
  // text would name home/cloudflared, the fixture's tunnel client, instead.
  fs::create_directories(home.path() / "real" / "sub");
  fs::create_directory_symlink(home.path() / "real" / "sub", home.path() / "link");
  fs::path named = home.path() / "real" / "cloudflared";
  fs::create_symlink(test::binDir() / "fake_tunnel", named);
  ConnectorProcess connector(configDirectory, "link/../cloudflared", home.path(), {},
                             home.path().string());
  ASSERT_TRUE(eventually([&] { return fs::exists(named.string() + ".record"); }))
      << connector.err();
  EXPECT_FALSE(fs::exists(record()));
  connector.process().signal(SIGTERM);
  EXPECT_EQ(connector.exitStatus(), 0);
}

TEST_F(ConnectorProgramRun, SecondStartIsRefusedAndTouchesNothing) {
  enroll();
  std::unique_ptr<ConnectorProcess> first = launch();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  std::string pid = readText(configDirectory / "running.pid");

  std::unique_ptr<ConnectorProcess> second = launch();
  EXPECT_EQ(second->exitStatus(), 1);
  EXPECT_EQ(second->out(), "");
  EXPECT_EQ(second->err(), "Connector failed: A connector is already running. Stop it before "
                           "starting the connector.\n");
  EXPECT_EQ(readText(configDirectory / "running.pid"), pid);
  EXPECT_FALSE(lockIsFree());
  EXPECT_TRUE(first->process().running());

  first->process().signal(SIGTERM);
  EXPECT_EQ(first->exitStatus(), 0);
}

TEST_F(ConnectorProgramRun, KilledTunnelClientEndsTheConnectorWithStatusOne) {
  enroll();
  std::unique_ptr<ConnectorProcess> connector = launch();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  std::set<pid_t> children = childPids(connector->process().pid());
  ASSERT_EQ(children.size(), 1u);
  ::kill(*children.begin(), SIGKILL);
  EXPECT_EQ(connector->exitStatus(), 1);
  EXPECT_EQ(connector->err(), "Connector failed: Cloudflare connector exited unexpectedly.\n");
  EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
  EXPECT_TRUE(lockIsFree());
}

TEST_F(ConnectorProgramRun, KilledConnectorDoesNotBlockTheNextStart) {
  enroll();
  // The killed connector's tunnel client becomes our child, so that the test can end it.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::unique_ptr<ConnectorProcess> killed = launch();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  std::set<pid_t> orphans = childPids(killed->process().pid());
  killed->process().signal(SIGKILL);
  EXPECT_EQ(killed->exitStatus(), -1);
  EXPECT_TRUE(fs::exists(configDirectory / "running.pid"));
  // The orphaned tunnel client did not inherit the lock.
  EXPECT_TRUE(lockIsFree());

  fs::remove(record());
  std::unique_ptr<ConnectorProcess> next = launch();
  EXPECT_TRUE(eventually([&] { return fs::exists(record()); }));
  next->process().signal(SIGTERM);
  EXPECT_EQ(next->exitStatus(), 0);
  for (pid_t orphan : orphans) {
    ::kill(orphan, SIGKILL);
    ::waitpid(orphan, nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(ConnectorProgramRun, NoNetworkAtStart) {
  DeviceConfig device = enroll();
  device.endpoint = "https://127.0.0.1:" + std::to_string(freePort());
  ConfigStore(configDirectory).save(device);
  std::unique_ptr<ConnectorProcess> connector = launch();
  EXPECT_EQ(connector->exitStatus(), 1);
  std::string err = connector->err();
  EXPECT_TRUE(err.starts_with("Connector failed: ")) << err;
  EXPECT_GT(err.size(), std::string("Connector failed: \n").size());
  EXPECT_EQ(err.find('\n'), err.size() - 1);
  EXPECT_EQ(connector->out(), "");
  EXPECT_FALSE(fs::exists(record()));
  EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
  EXPECT_TRUE(lockIsFree());
}

} // namespace
} // namespace pellum::connectortest
