#include "platform/ChildProcess.h"

#include "ProcessLeaks.h"
#include "platform/Pipe.h"

#include <gtest/gtest.h>

#include <csignal>

namespace pellum {
namespace {

using namespace std::chrono_literals;

ChildProcess::Options shell(const std::string &script) {
  ChildProcess::Options options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", script};
  return options;
}

class ChildProcessTest : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_FALSE(test::hasChildProcesses()); }
};

TEST_F(ChildProcessTest, ReapedChildIsNeverSignalled) {
  ChildProcess child(shell("exit 7"));
  child.wait();
  EXPECT_FALSE(child.running());
  EXPECT_FALSE(child.signal(SIGTERM));
  EXPECT_EQ(child.status().code, 7);
  EXPECT_FALSE(child.status().signaled);
}

TEST_F(ChildProcessTest, TerminateEscalatesToKillAfterTheGrace) {
  struct Case {
    const char *script;
    int endedBy;
  };
  // The ready line makes sure the trap is set before SIGTERM is sent.
  for (Case c : {Case{"echo ready; exec sleep 30", SIGTERM},
                 Case{"trap '' TERM; echo ready; while :; do sleep 1; done", SIGKILL}}) {
    SCOPED_TRACE(c.script);
    Pipe pipe = Pipe::create();
    ChildProcess::Options options = shell(c.script);
    options.standardOutput = pipe.writeEnd.get();
    ChildProcess child(options);
    pipe.writeEnd.reset();
    char byte;
    ASSERT_EQ(readSome(pipe.readEnd.get(), &byte, 1), 1u);
    child.terminate(200ms);
    child.terminate(200ms);
    child.wait();
    EXPECT_TRUE(child.status().signaled);
    EXPECT_EQ(child.status().code, c.endedBy);
  }
}

TEST_F(ChildProcessTest, DestructorKillsAndReapsARunningChild) {
  pid_t pid;
  {
    ChildProcess child(shell("exec sleep 30"));
    pid = child.pid();
    EXPECT_TRUE(child.running());
  }
  EXPECT_NE(::kill(pid, 0), 0);
}

TEST_F(ChildProcessTest, ChildStartsWithDefaultSignalHandling) {
  // A caller that ignores SIGTERM (as the connector does while it runs) must not pass that on.
  auto previous = std::signal(SIGTERM, SIG_IGN);
  ChildProcess child(shell("exec sleep 30"));
  std::signal(SIGTERM, previous);
  child.signal(SIGTERM);
  child.wait();
  EXPECT_TRUE(child.status().signaled);
  EXPECT_EQ(child.status().code, SIGTERM);
}

} // namespace
} // namespace pellum
