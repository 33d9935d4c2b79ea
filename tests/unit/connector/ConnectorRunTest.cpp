// The foreground run in this process, with short periods, against the fake cloud service and
// the fake tunnel client.

#include "ConnectorFixture.h"

#include "connector/ConnectorMain.h"
#include "service/CloudflareInstaller.h"
#include "support/Files.h"

#include "platform/ChildProcess.h"

#include <sys/stat.h>

namespace pellum::connectortest {
namespace {

class ConnectorRun : public ConnectorTest {
protected:
  static ConnectorMain::RunOptions fastOptions() {
    ConnectorMain::RunOptions options;
    options.heartbeatPeriod = 100ms;
    options.pollInterval = 20ms;
    options.tunnelGrace = 1s;
    options.bridge.pruningPeriod = 100ms;
    return options;
  }

  // The run on a thread of its own, stopped by `stop` as SIGTERM would.
  struct Running {
    std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();
    std::optional<std::string> error; // the message, once the run threw
    bool ended = false;
    std::mutex mutex;
    std::jthread thread;

    // A test that gives up early still ends the run before joining it.
    ~Running() { stop->set(); }

    bool hasEnded() {
      std::lock_guard lock(mutex);
      return ended;
    }
    // Stops the run (if it still runs) and waits for it; returns what it threw.
    std::optional<std::string> finish() {
      stop->set();
      thread = {};
      return error;
    }
  };

  std::unique_ptr<Running> start(std::vector<std::string> arguments,
                                 ConnectorMain::RunOptions options = fastOptions()) {
    auto running = std::make_unique<Running>();
    options.stopSignal = running->stop;
    running->thread = std::jthread([this, arguments, options, state = running.get()] {
      std::optional<std::string> error;
      try {
        ConnectorMain::run(ConfigStore(configDirectory), arguments, options);
      } catch (const std::exception &failure) {
        error = failure.what();
      }
      std::lock_guard lock(state->mutex);
      state->error = error;
      state->ended = true;
    });
    return running;
  }

  std::unique_ptr<Running> start() { return start({"start", "--cloudflared", tunnel.string()}); }

  // Runs to the end a start that is expected to fail, and returns its message.
  std::string failedStart(std::vector<std::string> arguments) {
    std::unique_ptr<Running> running = start(std::move(arguments));
    EXPECT_TRUE(eventually([&] { return running->hasEnded(); }));
    return running->finish().value_or("(no failure)");
  }

  std::string failedStart() { return failedStart({"start", "--cloudflared", tunnel.string()}); }

  // After any end of a run: the lock is free, "running.pid" gone, no tunnel client left.
  void expectReleased() {
    EXPECT_TRUE(lockIsFree());
    EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
    EXPECT_TRUE(fs::exists(configDirectory / "native.lock"));
  }
};

TEST_F(ConnectorRun, ServesEnabledNamespacesAndFollowsTheHeartbeat) {
  DeviceConfig device = enroll({stdioServer("alpha"), stdioServer("beta")});
  testing::internal::CaptureStdout();
  std::unique_ptr<Running> running = start();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));

  // "running.pid" holds this process's id, digits only, owner-only.
  EXPECT_EQ(readText(configDirectory / "running.pid"), std::to_string(::getpid()));
  struct stat info {};
  ASSERT_EQ(::stat((configDirectory / "running.pid").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((configDirectory / "native.lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(lockIsFree());

  // A stdio namespace without a session answers 400 to GET; one the service withdrew, 404.
  EXPECT_EQ(statusOf(device, "/s/alpha"), "HTTP/1.1 400 Response");
  cloud().setState({{"enabled", {"beta"}}});
  EXPECT_TRUE(eventually([&] { return statusOf(device, "/s/alpha") == "HTTP/1.1 404 Response"; }));
  EXPECT_EQ(statusOf(device, "/s/beta"), "HTTP/1.1 400 Response");
  cloud().setState({{"enabled", json::array()}});
  EXPECT_TRUE(eventually([&] { return statusOf(device, "/s/beta") == "HTTP/1.1 404 Response"; }));

  EXPECT_EQ(running->finish(), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Connector running for Test Mac, 2 local service(s).\n");
  expectReleased();
  EXPECT_EQ(statusOf(device, "/s/beta"), "");

  // Every heartbeat lists every service, in order, with its secret-free description.
  json expected = {{"targets",
                    {{{"slug", "alpha"}, {"localTarget", device.servers[0].localTarget()}},
                     {{"slug", "beta"}, {"localTarget", device.servers[1].localTarget()}}}}};
  int heartbeats = 0;
  for (const json &call : cloud().calls()) {
    if (call["path"] == "/connector/heartbeat") {
      ++heartbeats;
      EXPECT_EQ(call["method"], "POST");
      EXPECT_EQ(call["headers"]["authorization"], "Bearer " + device.credential);
      EXPECT_EQ(call["body"], expected);
    }
  }
  EXPECT_GE(heartbeats, 3);
  EXPECT_EQ(expected["targets"][0]["localTarget"]["transport"], "stdio");
}

TEST_F(ConnectorRun, FailedHeartbeatsLetTheLeaseRunOutUntilOneSucceeds) {
  DeviceConfig device = enroll({stdioServer("alpha")});
  ManualClock clock; // the lease runs out when the test moves it on; outlives the run
  ConnectorMain::RunOptions options = fastOptions();
  options.bridge.clock = &clock;
  testing::internal::CaptureStderr();
  std::unique_ptr<Running> running = start({"start", "--cloudflared", tunnel.string()}, options);
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  EXPECT_EQ(statusOf(device, "/s/alpha"), "HTTP/1.1 400 Response");

  for (json failure :
       {json{{"force", {{"/heartbeat", 500}}}}, json{{"malformed", {{"/heartbeat", true}}}}}) {
    cloud().setState(failure);
    // Every look moves the clock past a whole lease, until one finds it run out ...
    bool expired = false;
    EXPECT_TRUE(eventually([&] {
      if (!expired) {
        clock.advance(91s);
        expired = statusOf(device, "/s/alpha") == "HTTP/1.1 503 Response";
      }
      return expired;
    }));
    // ... and the failing heartbeats that follow renew nothing.
    auto heartbeats = [&] {
      json calls = cloud().calls();
      return std::count_if(calls.begin(), calls.end(),
                           [](const json &call) { return call["path"] == "/connector/heartbeat"; });
    };
    const auto seen = heartbeats();
    ASSERT_TRUE(eventually([&] { return heartbeats() >= seen + 2; }));
    EXPECT_EQ(statusOf(device, "/s/alpha"), "HTTP/1.1 503 Response");
    cloud().reset();
    EXPECT_TRUE(
        eventually([&] { return statusOf(device, "/s/alpha") == "HTTP/1.1 400 Response"; }));
  }
  EXPECT_FALSE(running->hasEnded());
  EXPECT_EQ(running->finish(), std::nullopt);

  std::string errors = testing::internal::GetCapturedStderr();
  const std::string line = "Heartbeat failed; access expires unless connection recovers.\n";
  ASSERT_FALSE(errors.empty());
  for (std::size_t at = 0; at < errors.size(); at += line.size()) {
    ASSERT_EQ(errors.substr(at, line.size()), line);
  }
  expectReleased();
}

TEST_F(ConnectorRun, RevokedDeviceStopsTheRunNormally) {
  DeviceConfig device = enroll();
  testing::internal::CaptureStdout();
  std::unique_ptr<Running> running = start();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  cloud().setState({{"revoked", true}});
  EXPECT_TRUE(eventually([&] { return running->hasEnded(); }));
  EXPECT_EQ(running->finish(), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Connector running for Test Mac, 0 local service(s).\n"
            "Device revoked. Stopping connector.\n");
  expectReleased();
  EXPECT_EQ(statusOf(device, "/s/any"), "");
}

TEST_F(ConnectorRun, NoStartWithoutAFirstLease) {
  enroll();
  struct Case {
    json state;
    std::string message;
  } cases[] = {
      {{{"revoked", true}}, "Device credential revoked."},
      {{{"force", {{"/heartbeat", 503}}}}, "Forced failure (HTTP 503)."},
      {{{"malformed", {{"/heartbeat", true}}}}, "Invalid heartbeat response."},
  };
  for (const Case &c : cases) {
    cloud().reset();
    cloud().setState(c.state);
    EXPECT_EQ(failedStart(), c.message);
    EXPECT_FALSE(fs::exists(record())) << c.message;
    expectReleased();
  }
}

TEST_F(ConnectorRun, UnreachableServiceFailsWithTheTransportError) {
  DeviceConfig device = enroll();
  device.endpoint = "https://127.0.0.1:" + std::to_string(freePort());
  ConfigStore(configDirectory).save(device);
  std::string message = failedStart();
  EXPECT_NE(message.find("onnect"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(record()));
  expectReleased();
}

TEST_F(ConnectorRun, TunnelClientThatEndsEndsTheRun) {
  DeviceConfig device = enroll();
  for (const char *mode : {"exit", "later"}) {
    setTunnelMode(mode);
    EXPECT_EQ(failedStart(), "Cloudflare connector exited unexpectedly.") << mode;
    expectReleased();
    EXPECT_EQ(statusOf(device, "/s/any"), "");
  }
}

TEST_F(ConnectorRun, StubbornTunnelClientIsKilledAfterItsGrace) {
  enroll();
  setTunnelMode("stubborn");
  std::unique_ptr<Running> running = start();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  EXPECT_EQ(running->finish(), std::nullopt);
  expectReleased();
}

TEST_F(ConnectorRun, TunnelClientThatCannotStart) {
  DeviceConfig device = enroll();
  for (const fs::path &path : {home.path() / "missing", home.path()}) {
    EXPECT_EQ(failedStart({"start", "--cloudflared", path.string()}),
              "Cannot launch Cloudflare connector. Use Update Cloudflare connector to repair it.");
    expectReleased();
    EXPECT_EQ(statusOf(device, "/s/any"), "");
  }
}

TEST_F(ConnectorRun, WithoutAPathTheInstalledTunnelClientRuns) {
  enroll();
  CloudflareInstaller installer{ConfigStore(configDirectory)};
  fs::path installed = installer.install("2025.1.0", readFile(test::binDir() / "fake_tunnel"));
  fs::path installedRecord = installed.string() + ".record";
  for (std::vector<std::string> arguments :
       {std::vector<std::string>{"start"}, std::vector<std::string>{"start", "--cloudflared"}}) {
    fs::remove(installedRecord);
    std::unique_ptr<Running> running = start(arguments);
    EXPECT_TRUE(eventually([&] { return fs::exists(installedRecord); }));
    EXPECT_EQ(running->finish(), std::nullopt);
    expectReleased();
  }
  // The first "--cloudflared" names the path; later words are not read.
  std::unique_ptr<Running> running =
      start({"start", "--verbose", "--cloudflared", tunnel.string(), "--cloudflared", "/x"});
  EXPECT_TRUE(eventually([&] { return fs::exists(record()); }));
  EXPECT_EQ(running->finish(), std::nullopt);
  EXPECT_TRUE(readText(record()).starts_with("arg tunnel\narg --no-autoupdate\narg run\nenv "));
}

TEST_F(ConnectorRun, PidFileOfALiveProcessBlocksTheStart) {
  enroll();
  ChildProcess::Options idle;
  idle.executable = (test::binDir() / "idle_program").string();
  ChildProcess live(idle);
  ChildProcess ended(idle);
  ended.signal(SIGKILL);
  ended.wait();

  struct Case {
    std::string content;
    bool blocks;
  } cases[] = {
      {std::to_string(live.pid()), true},
      {" " + std::to_string(live.pid()) + "\r\n", true},
      {std::to_string(ended.pid()), false},
      {"0", false},
      {"-5", false},
      {"notes", false},
      {"", false},
      {"99999999999", false},
  };
  for (const Case &c : cases) {
    std::ofstream(configDirectory / "running.pid", std::ios::binary) << c.content;
    if (c.blocks) {
      EXPECT_EQ(failedStart(),
                "A connector is already running. Stop it before starting the connector.");
      EXPECT_EQ(readText(configDirectory / "running.pid"), c.content);
      EXPECT_TRUE(lockIsFree());
      EXPECT_FALSE(fs::exists(record()));
    } else {
      std::unique_ptr<Running> running = start();
      EXPECT_TRUE(eventually([&] { return fs::exists(record()); })) << c.content;
      EXPECT_EQ(running->finish(), std::nullopt) << c.content;
      expectReleased();
      fs::remove(record());
    }
  }
  live.signal(SIGKILL);
  live.wait();
}

TEST_F(ConnectorRun, HeldLockBlocksTheStartAndLeavesThePidFileAlone) {
  enroll();
  fs::create_directories(configDirectory);
  int fd = ::open((configDirectory / "native.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  std::ofstream(configDirectory / "running.pid") << "notes";
  EXPECT_EQ(failedStart(), "A connector is already running.");
  EXPECT_EQ(readText(configDirectory / "running.pid"), "notes");
  EXPECT_FALSE(fs::exists(record()));
  ::close(fd);

  // Two runs at once in one directory: exactly one holds the lock.
  std::unique_ptr<Running> first = start();
  ASSERT_TRUE(eventually([&] { return fs::exists(record()); }));
  // Without its PID file the second run meets the lock itself.
  fs::remove(configDirectory / "running.pid");
  EXPECT_EQ(failedStart(), "A connector is already running.");
  EXPECT_FALSE(first->hasEnded());
  EXPECT_FALSE(fs::exists(configDirectory / "running.pid"));
  EXPECT_EQ(first->finish(), std::nullopt);
  EXPECT_TRUE(lockIsFree());
}

} // namespace
} // namespace pellum::connectortest
