#include "config/ConfigStore.h"
#include "connector/ExecutableLocation.h"
#include "platform/ProcessArguments.h"
#include "support/Files.h"

#include "Paths.h"
#include "RunProcess.h"
#include "SampleDevice.h"
#include "ScopedVariable.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace pellum {
namespace {

namespace fs = std::filesystem;
using test::ProcessOptions;
using test::ProcessResult;
using test::TempDir;

const std::string kNotEnrolled =
    "This Mac is not enrolled. Create a device in your dashboard, then enroll it here.\n";

// The connector run against a fresh home and configuration directory.
class ConnectorProgram : public ::testing::Test {
protected:
  TempDir home;
  fs::path configDirectory = home.path() / "config";

  ProcessResult run(std::vector<std::string> words, std::optional<std::string> input = {}) {
    ProcessOptions options;
    options.executable = test::connectorPath();
    options.arguments = {test::connectorPath().string()};
    options.arguments.insert(options.arguments.end(), words.begin(), words.end());
    options.environment = test::environmentWith({{"HOME", home.path().string()},
                                                 {"PELLUM_CONFIG_DIR", configDirectory.string()},
                                                 {"KESTRIN_CONFIG_DIR", std::nullopt}});
    options.input = std::move(input);
    return test::runProcess(options);
  }

  void enroll(const std::vector<LocalServer> &servers) {
    DeviceConfig device = test::sampleDevice();
    device.name = "Studio Mac";
    device.servers = servers;
    ConfigStore(configDirectory).save(device);
  }
};

void expectResult(const ProcessResult &result, int status, std::string_view out,
                  std::string_view err) {
  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.exitStatus, status);
  EXPECT_EQ(result.standardOutput, out);
  EXPECT_EQ(result.standardError, err);
}

TEST_F(ConnectorProgram, VersionLine) {
  expectResult(run({}), 0, "Pellum connector 0.2.0\n", "");
  expectResult(run({"--version", "list", "extra"}), 0, "Pellum connector 0.2.0\n", "");
  EXPECT_FALSE(fs::exists(configDirectory));
}

TEST_F(ConnectorProgram, UsageWordsPrintTheUsageWithoutTouchingTheConfiguration) {
  ProcessResult help = run({"help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_EQ(help.standardError, "");
  EXPECT_EQ(help.standardOutput.rfind("Usage: PellumConnector COMMAND [ARGUMENT ...]\n", 0), 0u);
  for (std::string_view line :
       {"  enroll [--endpoint URL]\n", "  start [--cloudflared PATH]\n", "  service status\n",
        "  service install\n", "  service restart\n", "  service uninstall\n",
        "  cloudflared update\n", "  list\n",
        "  add NAMESPACE [--name NAME] --url URL [--headers-input | --headers-file PATH]\n",
        "  add NAMESPACE [--name NAME] [--env NAME,...] -- COMMAND [ARGUMENT ...]\n",
        "  remove NAMESPACE\n",
        "  headers NAMESPACE (--clear | --headers-input | --headers-file PATH)\n",
        "  check [NAMESPACE]\n", "  help, --help, -h\n", "  --version\n", "PELLUM_CONFIG_DIR",
        "secrets.env", "https://pellum.zendrel.com/app"}) {
    EXPECT_NE(help.standardOutput.find(line), std::string::npos) << line;
  }
  // Every line fits a terminal of 80 columns, and each command has one line saying what it does.
  std::istringstream lines(help.standardOutput);
  bool inCommands = false;
  std::size_t commandLines = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
    if (line == "Commands:" || line.empty()) {
      inCommands = line == "Commands:";
    } else if (inCommands) {
      std::string_view indent = commandLines % 2 == 0 ? "  " : "      ";
      EXPECT_EQ(line.rfind(indent, 0), 0u) << line;
      EXPECT_NE(line[indent.size()], ' ') << line;
      ++commandLines;
    }
  }
  EXPECT_EQ(commandLines, 2u * 15);

  // The same text whatever follows; no configuration directory is made, and a broken record
  // that any command would trip over is never read.
  for (auto words : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"help", "add"}, {"-h", "--version"}}) {
    expectResult(run(words), 0, help.standardOutput, "");
  }
  EXPECT_FALSE(fs::exists(configDirectory));
  fs::create_directories(configDirectory);
  fs::permissions(configDirectory, fs::perms::owner_all | fs::perms::group_read);
  std::ofstream(configDirectory / "config.json") << "{";
  expectResult(run({"help", "list"}), 0, help.standardOutput, "");
  EXPECT_EQ(fs::status(configDirectory).permissions() & fs::perms::mask,
            fs::perms::owner_all | fs::perms::group_read);
}

TEST_F(ConnectorProgram, UnenrolledComputerHearsSoFirst) {
  for (auto words : std::vector<std::vector<std::string>>{{"list"},
                                                          {"nonsense"},
                                                          {"--VERSION"},
                                                          {"Start"},
                                                          {"Help"},
                                                          {"--HELP"},
                                                          {"remove", "notes"},
                                                          {""}}) {
    expectResult(run(words), 1, "", kNotEnrolled);
  }
  expectResult(run({"start"}), 1, "", "Connector failed: " + kNotEnrolled);
}

TEST_F(ConnectorProgram, ListsTheDeviceAndItsServices) {
  enroll({});
  expectResult(run({"list"}), 0, "Device: Studio Mac\nEndpoint: https://pellum.zendrel.com\n\n",
               "");

  LocalServer tools("tools", "Tools", "stdio");
  tools.command = "/bin/tool";
  tools.args = std::vector<std::string>{"--secret"};
  LocalServer notes("notes", "My Notes", "http");
  notes.url = "http://localhost:3000/mcp";
  enroll({tools, notes});
  expectResult(run({"list", "ignored"}), 0,
               "Device: Studio Mac\nEndpoint: https://pellum.zendrel.com\n"
               "tools\tstdio\tTools\nnotes\thttp\tMy Notes\n",
               "");
}

TEST_F(ConnectorProgram, OtherVerbsOnAnEnrolledComputer) {
  enroll({});
  expectResult(run({"nonsense"}), 1, "", "Choose a valid namespace.\n");
  expectResult(run({"nonsense", "Bad"}), 1, "", "Choose a valid namespace.\n");
  expectResult(run({"nonsense", "notes"}), 1, "", "Unsupported connector action.\n");
  expectResult(run({"enroll"}, "code\n"), 1, "",
               "This Mac is already enrolled. Use Start connector at login to switch its existing "
               "connector to the Mac app.\n");
}

TEST_F(ConnectorProgram, MalformedRecordsReportTheirErrorAndStayUntouched) {
  struct Case {
    std::string content;
    std::string error;
  } cases[] = {
      {"{", "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while "
            "parsing object key - unexpected end of input; expected string literal\n"},
      {"{}", "[json.exception.out_of_range.403] key 'endpoint' not found\n"},
      {R"({"endpoint": "http://x", "id": "", "name": "", "hostname": "", "port": 2000,
           "credential": "c", "bridgePassword": "b", "tunnelToken": "t", "servers": []})",
       "Service URL must be an HTTPS origin.\n"},
      {R"({"endpoint": "https://x", "id": "", "name": "", "hostname": "", "port": 2000,
           "credential": "c", "bridgePassword": "b", "tunnelToken": "t",
           "servers": [{"slug": "a", "name": "A", "type": "http", "url": "http://x/"}]})",
       "HTTP servers must use a loopback URL without embedded credentials.\n"},
  };
  fs::create_directories(configDirectory);
  for (const Case &c : cases) {
    std::ofstream(configDirectory / "config.json", std::ios::binary) << c.content;
    expectResult(run({"list"}), 1, "", c.error);
    EXPECT_EQ(readFile(configDirectory / "config.json"), c.content);
  }
}

TEST_F(ConnectorProgram, EnrollReadsOneLineOfInput) {
  // Input that ends at once, with a line, or with more: each reaches the verb and fails the same
  // way, and the program never waits for more input than one line.
  for (std::optional<std::string> input :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("code\nmore\n"), std::optional<std::string>("no newline")}) {
    expectResult(run({"enroll", "--endpoint", "https://127.0.0.1:1"}, input), 1, "",
                 "Paste a valid enrollment code from your dashboard.\n");
  }
  EXPECT_FALSE(fs::exists(configDirectory / "config.json"));
}

TEST_F(ConnectorProgram, ClosedOutputDoesNotKillTheProgram) {
  ProcessOptions options;
  options.executable = test::connectorPath();
  options.closedOutput = true;
  for (std::string word : {"--version", "--help"}) {
    options.arguments = {"PellumConnector", word};
    ProcessResult result = test::runProcess(options);
    EXPECT_FALSE(result.signaled) << word << ": signal " << result.exitStatus;
    EXPECT_EQ(result.exitStatus, 0) << word;
  }
}

// The program started with the given argument vector (argv[0] first); with `removedDirectory`
// it is started by a shell from inside that directory after removing it, and a first word
// without a slash is then found through PATH.
ProcessResult runFrom(std::vector<std::string> argv, const fs::path &home,
                      std::optional<fs::path> removedDirectory,
                      const std::string &configDirectory) {
  ProcessOptions options;
  options.environment = test::environmentWith(
      {{"HOME", home.string()},
       {"PELLUM_CONFIG_DIR", configDirectory},
       {"KESTRIN_CONFIG_DIR", std::nullopt},
       {"PATH", test::connectorPath().parent_path().string() + ":/usr/bin:/bin"}});
  if (!removedDirectory) {
    options.executable = test::connectorPath();
    options.arguments = std::move(argv);
    return test::runProcess(options);
  }
  fs::create_directories(*removedDirectory);
  options.executable = "/bin/sh";
  options.arguments = {"sh", "-c", R"(cd "$0" && rmdir "$0" && exec "$@")",
                       removedDirectory->string()};
  options.arguments.insert(options.arguments.end(), argv.begin(), argv.end());
  return test::runProcess(options);
}

TEST(ConnectorStartUp, OddProgramNamesAndARemovedDirectoryNeverAbort) {
  TempDir home;
  const std::string connector = test::connectorPath().string();
  const fs::path gone = home.path() / "gone";
  struct Case {
    const char *name;
    std::vector<std::string> argv;
    bool fromRemovedDirectory;
    std::string configDirectory;
  };
  const std::vector<Case> cases = {
      {"empty program name", {""}, false, (home.path() / "config").string()},
      {"removed directory, relative configuration directory", {connector}, true, "config"},
      {"removed directory, program found through PATH",
       {"PellumConnector"},
       true,
       (home.path() / "config").string()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto run = [&](const std::string &word) {
      std::vector<std::string> argv = c.argv;
      argv.push_back(word);
      return runFrom(argv, home.path(), c.fromRemovedDirectory ? std::optional(gone) : std::nullopt,
                     c.configDirectory);
    };
    expectResult(run("--version"), 0, "Pellum connector 0.2.0\n", "");
    // Anything that needs the directory fails the ordinary way.
    expectResult(run("list"), 1, "", kNotEnrolled);
    ProcessResult started = run("start");
    EXPECT_FALSE(started.signaled);
    EXPECT_EQ(started.exitStatus, 1);
    EXPECT_TRUE(started.standardError.starts_with("Connector failed: ")) << started.standardError;
  }
}

// Leaves the test in a directory that it then removes, and returns to where it was.
class RemovedWorkingDirectory {
public:
  RemovedWorkingDirectory() : previous_(fs::current_path()) {
    fs::path directory = home_.path() / "gone";
    fs::create_directory(directory);
    fs::current_path(directory);
    fs::remove(directory);
  }
  ~RemovedWorkingDirectory() { fs::current_path(previous_); }

private:
  TempDir home_;
  fs::path previous_;
};

TEST(ExecutableLocation, AbsoluteAndLexicallyNormalised) {
  fs::path cwd = fs::current_path();
  EXPECT_EQ(absoluteLexicalPath("./bin/../bin/./PellumConnector"), cwd / "bin/PellumConnector");
  EXPECT_EQ(absoluteLexicalPath("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(absoluteLexicalPath("/a/b/.."), "/a");
  EXPECT_EQ(absoluteLexicalPath("/"), "/");
  EXPECT_EQ(absoluteLexicalPath("PellumConnector"), cwd / "PellumConnector");
  EXPECT_EQ(executableLocation("bin/../PellumConnector"), cwd / "PellumConnector");
}

TEST(ExecutableLocation, TheKernelsRecordWhereNoAbsolutePathCanBeFormed) {
  std::optional<fs::path> running = runningExecutable();
  ASSERT_TRUE(running.has_value());
  EXPECT_TRUE(running->is_absolute() && fs::is_regular_file(*running)) << *running;
  EXPECT_EQ(executableLocation(""), *running);
  EXPECT_EQ(executableLocation(nullptr), *running);

  RemovedWorkingDirectory removed;
  EXPECT_EQ(executableLocation("PellumConnector"), *running);
  EXPECT_EQ(executableLocation("/opt/../bin/PellumConnector"), "/bin/PellumConnector");
  // A relative configuration directory stays as given; the store is still made.
  test::ScopedVariable variable("PELLUM_CONFIG_DIR", "relative/config");
  EXPECT_EQ(ConfigStore().directory(), "relative/config");
  EXPECT_EQ(absolutePathOrAsGiven("link/../cloudflared"), "link/../cloudflared");
}

} // namespace
} // namespace pellum
