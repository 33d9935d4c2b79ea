#include "LaunchFixture.h"

#include "launch/SystemdService.h"
#include "platform/ChildProcess.h"
#include "support/ConnectorError.h"

#include <csignal>
#include <thread>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;

class ForegroundStopTest : public LaunchFixture {
protected:
  void SetUp() override {
    LaunchFixture::SetUp();
    fs::create_directories(directory);
  }

  SystemdService service(bool realSleep = false) {
    LaunchSettings chosen = settings("fake_systemctl");
    if (realSleep) {
      chosen.sleep = nullptr;
    }
    return SystemdService(store, executable, chosen);
  }

  static ChildProcess::Options program(std::string executable, std::vector<std::string> arguments) {
    ChildProcess::Options options;
    options.executable = std::move(executable);
    options.arguments = std::move(arguments);
    return options;
  }

  void writePid(pid_t pid) { writeText(directory / "running.pid", std::to_string(pid)); }

  std::string stopFailure(const SystemdService &launch) {
    try {
      launch.stopForegroundConnector();
    } catch (const ConnectorError &error) {
      return error.message;
    }
    return "";
  }
};

TEST_F(ForegroundStopTest, UnusablePidFilesStopNothing) {
  ChildProcess gone(program("/bin/true", {}));
  gone.wait();
  const std::string contents[] = {
      "1",    "0",     "-5",         "text", "",
      "  \n", "12 34", "2147483648", "0x10", std::to_string(gone.pid())};
  for (const std::string &content : contents) {
    SCOPED_TRACE(content);
    writeText(directory / "running.pid", content);
    EXPECT_NO_THROW(service().stopForegroundConnector());
  }
  fs::remove(directory / "running.pid");
  EXPECT_NO_THROW(service().stopForegroundConnector());
  EXPECT_TRUE(calls("ps").empty());
}

TEST_F(ForegroundStopTest, AProcessOfAnotherUserIsNotSignalled) {
  ChildProcess other(program(executable.string(), {"start"}));
  writePid(other.pid());
  writeText(state / "ps-uid", std::to_string(::getuid() + 1));
  EXPECT_EQ(
      stopFailure(service()),
      "The running connector cannot be safely identified. Stop it in its terminal and retry.");
  EXPECT_EQ(calls("ps").at(0), "-p " + std::to_string(other.pid()) + " -o uid=");
  EXPECT_TRUE(other.running());
}

TEST_F(ForegroundStopTest, AProcessThatIsNotAConnectorIsNotSignalled) {
  ChildProcess sleeper(program("/bin/sleep", {"30"}));
  ChildProcess wrongVerb(program(executable.string(), {"service", "status"}));
  for (ChildProcess *child : {&sleeper, &wrongVerb}) {
    writePid(child->pid());
    EXPECT_EQ(stopFailure(service()),
              "The PID file does not identify a Pellum connector. No process was stopped.");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(sleeper.running());
  EXPECT_TRUE(wrongVerb.running());
}

TEST_F(ForegroundStopTest, AConnectorIsTerminated) {
  ChildProcess connector(
      program(executable.string(), {"start", "--cloudflared", "/x/cloudflared"}));
  writeText(directory / "running.pid", " +" + std::to_string(connector.pid()) + "\n");
  service(true).stopForegroundConnector();
  EXPECT_FALSE(connector.running());
  EXPECT_TRUE(connector.status().signaled);
  EXPECT_EQ(connector.status().code, SIGTERM);
}

TEST_F(ForegroundStopTest, AConnectorThatKeepsRunningIsReported) {
  ChildProcess::Options options = program(executable.string(), {"start"});
  options.environment = processEnvironment();
  (*options.environment)["IDLE_PROGRAM_IGNORE_TERM"] = "1";
  ChildProcess stubborn(options);
  // Give it time to ignore SIGTERM before it is sent.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  writePid(stubborn.pid());
  EXPECT_EQ(stopFailure(service()),
            "The CLI is still stopping. Retry conversion when it has exited.");
  EXPECT_EQ(sleeps.size(), 100u);
  EXPECT_TRUE(stubborn.running());
}

} // namespace
} // namespace pellum::test
