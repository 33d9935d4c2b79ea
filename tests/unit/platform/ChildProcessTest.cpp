#include "platform/ChildProcess.h"

#include "Eventually.h"
#include "ProcessLeaks.h"
#include "platform/Pipe.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

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

// Whether `pid` is gone, or a zombie that its new parent has yet to reap.
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string number, name, state;
  return !(stat >> number >> name >> state) || state == "Z";
}

TEST_F(ChildProcessTest, AProcessGroupEndsWithItsLeader) {
  // Signalled while it runs, or left behind when it exits: the grandchild goes either way. A
  // leader that exits on its own stays unreaped, keeping the group's id reserved, until the
  // group has been stopped.
  for (const char *script : {"sleep 300 & echo $!; wait", "sleep 300 & echo $!; read line"}) {
    SCOPED_TRACE(script);
    Pipe output = Pipe::create();
    Pipe input = Pipe::create();
    ChildProcess::Options options = shell(script);
    options.standardOutput = output.writeEnd.get();
    options.standardInput = input.readEnd.get();
    options.processGroup = true;
    ChildProcess child(options);
    output.writeEnd.reset();
    input.readEnd.reset();
    std::string text(32, '\0');
    text.resize(readSome(output.readEnd.get(), text.data(), text.size()));
    pid_t grandchild = std::stoi(text);
    EXPECT_FALSE(ended(grandchild));
    if (std::string(script).ends_with("wait")) {
      child.signal(SIGTERM);
    } else {
      input.writeEnd.reset(); // the leader reads end of file and exits on its own
      EXPECT_TRUE(test::eventually([&] { return !child.running(); }));
      EXPECT_FALSE(child.waitUntil(std::chrono::steady_clock::now()));
      EXPECT_FALSE(ended(grandchild));
      child.terminate(std::chrono::milliseconds(500));
    }
    child.wait();
    EXPECT_TRUE(test::eventually([&] { return ended(grandchild); }));
  }
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
