#include "platform/Command.h"

#include "ProcessLeaks.h"
#include "support/ConnectorError.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <system_error>

namespace pellum {
namespace {

class CommandTest : public ::testing::Test {
protected:
  void SetUp() override { descriptors_ = test::openDescriptorCount(); }
  void TearDown() override {
    EXPECT_FALSE(test::hasChildProcesses());
    EXPECT_EQ(test::openDescriptorCount(), descriptors_);
  }

  static CommandResult shell(const std::string &script, double timeout = 30,
                             std::size_t limit = 1 << 20, bool captureError = false) {
    return command("/bin/sh", {"-c", script}, timeout, limit, std::nullopt, captureError);
  }

private:
  std::size_t descriptors_ = 0;
};

TEST_F(CommandTest, ReturnsOutputAndExitCode) {
  CommandResult result = shell("printf 'one\\ntwo'; exit 3");
  EXPECT_EQ(result.outputBytes, "one\ntwo");
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_FALSE(result.signaled);
}

TEST_F(CommandTest, OutputUpToTheLimitIsKeptOneByteMoreFails) {
  struct Case {
    std::size_t limit;
    std::size_t printed;
    bool fits;
  };
  // Small limits and one spanning several reads.
  for (Case c : {Case{0, 0, true}, Case{0, 1, false}, Case{10, 10, true}, Case{10, 11, false},
                 Case{300000, 300000, true}, Case{300000, 300001, false}}) {
    SCOPED_TRACE(std::to_string(c.limit) + " / " + std::to_string(c.printed));
    std::string script = "head -c " + std::to_string(c.printed) + " /dev/zero";
    if (c.fits) {
      CommandResult result = shell(script, 30, c.limit);
      EXPECT_EQ(result.outputBytes, std::string(c.printed, '\0'));
      EXPECT_EQ(result.exitStatus, 0);
    } else {
      try {
        shell(script, 30, c.limit);
        ADD_FAILURE() << "no error";
      } catch (const ConnectorError &error) {
        EXPECT_STREQ(error.what(), "Command output exceeded its size limit.");
        EXPECT_EQ(error.status, 400);
      }
    }
  }
}

TEST_F(CommandTest, EndlessOutputIsCutAtTheLimit) {
  EXPECT_THROW(command("/bin/cat", {"/dev/zero"}, 30, 100000), ConnectorError);
}

TEST_F(CommandTest, HangingChildIsKilledAtTheTimeout) {
  CommandResult result = command("/bin/sleep", {"30"}, 0.2, 1024);
  EXPECT_TRUE(result.signaled);
  EXPECT_EQ(result.exitStatus, SIGKILL);
  EXPECT_EQ(result.outputBytes, "");
}

TEST_F(CommandTest, OutputReadBeforeTheTimeoutIsReturned) {
  CommandResult result = command("/bin/sh", {"-c", "echo early; exec sleep 30"}, 0.3, 1024);
  EXPECT_TRUE(result.signaled);
  EXPECT_EQ(result.outputBytes, "early\n");
}

TEST_F(CommandTest, StandardErrorIsOnlyCapturedWhenAsked) {
  const std::string script = "echo a; echo b >&2; echo c";
  EXPECT_EQ(shell(script).outputBytes, "a\nc\n");
  EXPECT_EQ(shell(script, 30, 1024, true).outputBytes, "a\nb\nc\n");
}

TEST_F(CommandTest, GivenEnvironmentIsTheWholeEnvironment) {
  Environment environment{{"ALPHA", "1"}, {"BETA", "two words"}};
  CommandResult result = command("/usr/bin/env", {}, 30, 1024, environment);
  EXPECT_EQ(result.outputBytes, "ALPHA=1\nBETA=two words\n");

  ::setenv("PELLUM_COMMAND_TEST", "inherited", 1);
  CommandResult inherited = command("/usr/bin/env", {}, 30, 1 << 20);
  ::unsetenv("PELLUM_COMMAND_TEST");
  EXPECT_NE(inherited.outputBytes.find("PELLUM_COMMAND_TEST=inherited\n"), std::string::npos);
}

TEST_F(CommandTest, GrandchildHoldingThePipeDoesNotOutlastTheTimeout) {
  // The shell exits at once; its background job keeps the pipe open much longer.
  CommandResult result = shell("sleep 300 & echo $!", 0.5);
  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.exitStatus, 0);
  pid_t grandchild = std::stoi(result.outputBytes);
  ASSERT_GT(grandchild, 0);
  // Still holding the pipe when the run returned.
  EXPECT_EQ(::kill(grandchild, 0), 0);
  ::kill(grandchild, SIGKILL);
}

TEST_F(CommandTest, ChildLeadsASessionOfItsOwn) {
  // Field 6 of /proc/<pid>/stat is the session id; "sh" has no spaces to shift it.
  CommandResult result = shell("echo $$; cut -d' ' -f6 /proc/$$/stat");
  auto newline = result.outputBytes.find('\n');
  ASSERT_NE(newline, std::string::npos);
  EXPECT_EQ(result.outputBytes.substr(0, newline + 1), result.outputBytes.substr(newline + 1));
}

TEST_F(CommandTest, LaunchFailureIsThePlatformError) {
  try {
    command("/nonexistent/program", {}, 30, 1024);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error &error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
}

} // namespace
} // namespace pellum
