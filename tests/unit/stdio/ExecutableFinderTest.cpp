#include "stdio/ExecutableFinder.h"

#include "ProcessLeaks.h"
#include "TempDir.h"
#include "platform/User.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace pellum {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path &path, const std::string &text, fs::perms mode) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, mode);
}

constexpr fs::perms kExecutable = fs::perms::owner_all;
constexpr fs::perms kPlain = fs::perms::owner_read | fs::perms::owner_write;

TEST(ExecutableFinderTest, SearchPathJoinsInheritedShellAndDefault) {
  const std::string def(ExecutableFinder::kDefaultSearchPath);
  struct Case {
    std::optional<std::string> inherited;
    std::optional<std::string> shell;
    std::string expected;
  };
  for (const Case &c : {
           Case{"", std::nullopt, def},
           Case{std::nullopt, "", def},
           Case{"/a:/b", "/b:/c", "/a:/b:/b:/c:" + def},
           Case{std::nullopt, "/s", "/s:" + def},
           Case{"/usr/bin", std::nullopt, "/usr/bin:" + def},
       }) {
    EXPECT_EQ(ExecutableFinder::searchPath(c.inherited, c.shell), c.expected);
  }
}

TEST(ExecutableFinderTest, FindExecutableSkipsDirectoriesPlainFilesAndEmptyEntries) {
  test::TempDir temp;
  const fs::path root = temp.path();
  fs::create_directories(root / "a" / "tool");                // a directory of the same name
  writeFile(root / "b" / "tool", "#!/bin/sh\n", kPlain);      // not executable
  writeFile(root / "c" / "tool", "#!/bin/sh\n", kExecutable); // the one
  writeFile(root / "c" / "sub" / "prog", "#!/bin/sh\n", kExecutable);
  writeFile(root / "cwd" / "tool", "#!/bin/sh\n", kExecutable);
  writeFile(root / "cwd" / "sub" / "prog", "#!/bin/sh\n", kExecutable);
  const std::string a = (root / "a").string(), b = (root / "b").string(), c = (root / "c").string();

  // Relative names must never be found through the working directory.
  fs::path previous = fs::current_path();
  fs::current_path(root / "cwd");
  struct Case {
    std::string name;
    std::string path;
    std::optional<fs::path> expected;
  };
  for (const Case &k : {
           Case{"tool", a + "::" + b + ":" + c, root / "c" / "tool"},
           Case{"tool", a + ":" + b, std::nullopt},
           Case{"tool", "::", std::nullopt},
           Case{"tool", "", std::nullopt},
           Case{"sub/prog", a + ":" + c, root / "c" / "sub" / "prog"},
           Case{"sub/prog", "", std::nullopt},
           Case{(root / "c" / "tool").string(), "", root / "c" / "tool"},
           Case{(root / "b" / "tool").string(), c, std::nullopt},
           Case{(root / "a" / "tool").string(), c, std::nullopt},
           Case{"missing", c, std::nullopt},
       }) {
    SCOPED_TRACE(k.name + " in " + k.path);
    EXPECT_EQ(ExecutableFinder::findExecutable(k.name, k.path), k.expected);
  }
  fs::current_path(previous);
}

TEST(ExecutableFinderTest, LoginShellPrefersTheEnvironment) {
  EXPECT_EQ(ExecutableFinder::loginShell({{"SHELL", "/bin/bash"}}), "/bin/bash");
  EXPECT_EQ(ExecutableFinder::loginShell({{"SHELL", ""}}), "");
  EXPECT_EQ(ExecutableFinder::loginShell({}), userLoginShell().value_or("/bin/zsh"));
}

class ShellProbeTest : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_FALSE(test::hasChildProcesses()); }

  // A stand-in login shell: checks its options, prints `before`, then runs the probe's command
  // with `path` as its PATH.
  std::string fakeShell(const std::string &before, const std::string &path,
                        const std::string &after = "") {
    fs::path shell = temp_.path() / ("shell" + std::to_string(++count_));
    writeFile(shell,
              "#!/bin/sh\n[ \"$1\" = -ilc ] || exit 2\n" + before + "\nPATH='" + path +
                  "' /bin/sh -c \"$2\"\n" + after + "\n",
              kExecutable);
    return shell.string();
  }

  test::TempDir temp_;
  int count_ = 0;
};

TEST_F(ShellProbeTest, OnlyThePieceAfterTheMarkerCounts) {
  struct Case {
    std::string name;
    std::string shell;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"clean", fakeShell("", "/x/bin:/y/bin"), "/x/bin:/y/bin"},
      {"junk with NULs and a false marker before",
       fakeShell("printf 'hello\\0PELLUM_PATH_0000\\0/wrong\\0\\377\\0'", "/right"), "/right"},
      {"junk after", fakeShell("echo motd", "/right", "printf 'bye\\0/wrong\\0'"), "/right"},
      {"empty PATH", fakeShell("", ""), std::nullopt},
      {"non-zero exit", fakeShell("", "/right", "exit 1"), std::nullopt},
      {"no marker", fakeShell("echo /right; exit 0", "/right"), std::nullopt},
      {"too much output", fakeShell("head -c 1048577 /dev/zero", "/right"), std::nullopt},
      {"missing shell", (temp_.path() / "missing").string(), std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExecutableFinder::fullPath(c.shell, {{"PATH", "/usr/bin:/bin"}}, 30), c.expected);
  }
}

TEST_F(ShellProbeTest, HangingShellIsKilledAtTheTimeout) {
  fs::path shell = temp_.path() / "hang";
  writeFile(shell, "#!/bin/sh\nexec sleep 30\n", kExecutable);
  EXPECT_EQ(ExecutableFinder::fullPath(shell.string(), {}, 0.3), std::nullopt);
}

TEST_F(ShellProbeTest, RealLoginShellsReadTheirProfiles) {
  const fs::path home = temp_.path();
  // dash reads ~/.profile as a login shell.
  writeFile(home / ".profile", "echo profile says hi\nexport PATH=/from/profile:$PATH\n", kPlain);
  // bash prefers ~/.bash_profile, and an interactive login bash runs ~/.bash_logout on exit.
  writeFile(home / ".bash_profile", "printf 'x\\0y\\0'\nexport PATH=/from/bash\n", kPlain);
  writeFile(home / ".bash_logout", "printf '\\0PELLUM_PATH_\\0/late\\0'\n", kPlain);
  const Environment environment{{"HOME", home.string()}, {"PATH", "/usr/bin:/bin"}};
  for (const char *shell : {"/bin/sh", "/bin/bash"}) {
    if (!fs::exists(shell)) {
      continue;
    }
    SCOPED_TRACE(shell);
    std::optional<std::string> path = ExecutableFinder::fullPath(shell, environment, 30);
    ASSERT_TRUE(path.has_value());
    EXPECT_TRUE(
        path->starts_with(std::string(shell) == "/bin/bash" ? "/from/bash" : "/from/profile:"))
        << *path;
  }
}

} // namespace
} // namespace pellum
