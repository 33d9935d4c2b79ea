// The management verbs through the connector program itself, as a user runs them in a terminal.
#include "CloudSuite.h"

#include "Paths.h"
#include "RunProcess.h"

#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

#include <fstream>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Words = std::vector<std::string>;

class ManagementProgram : public CloudSuite {
protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (IsSkipped()) {
      return;
    }
    // The tunnel client is kept already, so enrolment needs no download.
    ProcessOptions placing;
    placing.executable = binDir() / "install_tunnel_client";
    placing.arguments = {"install_tunnel_client", directory.string(),
                         (binDir() / "fake_tunnel").string()};
    ProcessResult placed = runProcess(placing);
    ASSERT_EQ(placed.exitStatus, 0) << placed.standardError;
  }

  ProcessResult run(const Words &words, const std::optional<std::string> &input = std::nullopt) {
    ProcessOptions options;
    options.executable = connectorPath();
    options.arguments = {connectorPath().string()};
    options.arguments.insert(options.arguments.end(), words.begin(), words.end());
    // No session bus: a user service manager, if this computer has one, stays out of reach.
    options.environment = environmentWith({{"HOME", home.string()},
                                           {"PELLUM_CONFIG_DIR", directory.string()},
                                           {"KESTRIN_CONFIG_DIR", std::nullopt},
                                           {"SSL_CERT_FILE", cloud_->caFile().string()},
                                           {"XDG_RUNTIME_DIR", std::nullopt},
                                           {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
    options.input = input;
    return runProcess(options);
  }

  // Exit status 0 and exactly `line` on standard output, or status 1 and exactly `line` on
  // standard error.
  void expectOutput(const Words &words, const std::string &line, bool success,
                    const std::optional<std::string> &input = std::nullopt) {
    ProcessResult result = run(words, input);
    EXPECT_FALSE(result.signaled);
    EXPECT_EQ(result.exitStatus, success ? 0 : 1) << words.front();
    EXPECT_EQ(result.standardOutput, success ? line + "\n" : "") << words.front();
    EXPECT_EQ(result.standardError, success ? "" : line + "\n") << words.front();
  }

  // Enrolled through the program; the agent cannot be installed here.
  void enroll() {
    ProcessResult result = run({"enroll", "--endpoint", cloud_->origin()}, kCode + "\n");
    ASSERT_TRUE(configText()) << result.standardError;
    cloud_->reset();
  }

  json lastCall() {
    json received = calls();
    return received.empty() ? json() : received.back();
  }
};

TEST_F(ManagementProgram, EnrolWithoutServiceManagerSavesTheRecordAndSaysWhy) {
  if constexpr (kNativeServiceManager != ServiceManager::systemd) {
    GTEST_SKIP() << "needs a computer without a reachable user service manager";
  }
  ProcessResult result = run({"enroll", "--endpoint", cloud_->origin()}, "  " + kCode + " \n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError,
            "No systemd user service manager can be reached here, so the connector cannot start "
            "at login; run PellumConnector start instead.\n");
  json call = lastCall();
  EXPECT_EQ(call["path"], "/connector/enroll");
  EXPECT_EQ(call["body"], json({{"code", kCode}}));

  json record = json::parse(configText().value_or("{}"));
  EXPECT_EQ(record["endpoint"], cloud_->origin());
  EXPECT_EQ(record["servers"], json::array());
  EXPECT_EQ(record["name"], "Test Mac");
  EXPECT_EQ(fs::status(directory / "config.json").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);

  expectOutput({"service", "status"}, "Connector is not installed.", true);
  expectOutput({"enroll", "--endpoint", cloud_->origin()}, kAlreadyEnrolled, false, kCode + "\n");
}

TEST_F(ManagementProgram, EnrolRefusesMalformedCodesWithoutCallingTheService) {
  for (const std::string &input :
       {kCode.substr(1) + "\n", kCode + "x\n", std::string("\n"), std::string()}) {
    expectOutput({"enroll", "--endpoint", cloud_->origin()}, kBadCode, false, input);
  }
  expectOutput({"enroll", "--endpoint", "https://127.0.0.1:1/x"},
               "Service URL must be an HTTPS origin.", false, kCode + "\n");
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(configText());
}

TEST_F(ManagementProgram, EveryVerbPrintsOneResultLine) {
  expectOutput({}, "Pellum connector 0.2.0", true);
  expectOutput({"list"}, kNotEnrolled, false);
  expectOutput({"bogus"}, kNotEnrolled, false);
  expectOutput({"service", "uninstall"}, "Connector removed. Device credentials remain.", true);
  enroll();

  expectOutput({"add", "notes", "--url", "http://localhost:3000/mcp"}, kNoteStart, true);
  EXPECT_EQ(lastCall()["body"], json({{"slug", "notes"},
                                      {"name", "notes"},
                                      {"localTarget",
                                       {{"transport", "http"},
                                        {"url", "http://localhost:3000/mcp"},
                                        {"authentication", "none"}}}}));
  expectOutput({"add", "tools", "--env", "A,,B", "--", "/usr/bin/tool", "-v"}, kNoteStart, true);
  json tools = json::parse(*configText())["servers"][1];
  EXPECT_EQ(tools, json({{"slug", "tools"},
                         {"name", "tools"},
                         {"type", "stdio"},
                         {"command", "/usr/bin/tool"},
                         {"args", {"-v"}},
                         {"cwd", home.string()},
                         {"envNames", {"A", "B"}}}));

  // The last service line is followed only by the program's own newline.
  expectOutput({"list"},
               "Device: Test Mac\nEndpoint: " + cloud_->origin() +
                   "\nnotes\thttp\tnotes\ntools\tstdio\ttools",
               true);

  fs::path headers = temp.path() / "headers.json";
  std::ofstream(headers) << R"({"X-Key": "v"})";
  expectOutput({"headers", "notes", "--headers-file", headers.string()}, kNoteStart, true);
  EXPECT_EQ(json::parse(*configText())["servers"][0]["headers"], json({{"x-key", "v"}}));
  expectOutput({"headers", "notes", "--clear"}, kNoteStart, true);
  EXPECT_EQ(json::parse(*configText())["servers"][0]["headers"], json::object());

  expectOutput({"remove", "tools"}, kNoteStart, true);
  EXPECT_EQ(lastCall()["method"], "DELETE");
  EXPECT_EQ(lastCall()["path"], "/connector/servers/tools");
  EXPECT_EQ(json::parse(*configText())["servers"].size(), 1u);
  EXPECT_EQ(calls().size(), 5u);
}

TEST_F(ManagementProgram, FailuresPrintTheirMessageAndChangeNothing) {
  enroll();
  expectOutput({"add", "notes", "--url", "http://localhost:3000/"}, kNoteStart, true);
  cloud_->reset();
  std::optional<std::string> record = configText();

  struct Case {
    Words words;
    std::string message;
  } cases[] = {
      {{"service"}, "Unknown service action."},
      {{"service", "stop"}, "Unknown service action."},
      {{"add"}, "Choose a valid namespace."},
      {{"add", "Notes", "--url", "http://localhost/"}, "Choose a valid namespace."},
      {{"add", "notes", "--url", "http://localhost/"},
       "Namespace is already configured on this Mac."},
      {{"add", "tools", "--"}, "Provide an executable and arguments."},
      {{"remove", "tools"}, "Local service not found."},
      {{"headers", "tools", "--clear"}, "Choose a local HTTP service."},
      {{"headers", "notes"}, "Choose a headers JSON file or Clear headers."},
      {{"bogus", "notes"}, "Unsupported connector action."},
  };
  for (const Case &c : cases) {
    expectOutput(c.words, c.message, false);
  }
  EXPECT_TRUE(calls().empty());

  cloud_->setState({{"force", {{"/servers", 500}}}});
  expectOutput({"add", "web", "--url", "http://localhost:8080/"}, "Forced failure (HTTP 500).",
               false);
  expectOutput({"headers", "notes", "--clear"}, "Forced failure (HTTP 500).", false);
  EXPECT_EQ(calls().size(), 2u);
  EXPECT_EQ(configText(), record);
}

TEST_F(ManagementProgram, HeadersInputIsReadFromStandardInput) {
  enroll();
  const std::string headers = R"({"X-Key": "v", "Authorization": "Bearer t"})";
  fs::path file = temp.path() / "headers.json";
  std::ofstream(file) << headers;

  expectOutput({"add", "notes", "--url", "http://localhost:3000/mcp", "--headers-input"},
               kNoteStart, true, headers);
  expectOutput(
      {"add", "files", "--url", "http://localhost:3000/mcp", "--headers-file", file.string()},
      kNoteStart, true);
  json servers = json::parse(*configText())["servers"];
  EXPECT_EQ(servers[0]["headers"], json({{"x-key", "v"}, {"authorization", "Bearer t"}}));
  EXPECT_EQ(servers[0]["headers"], servers[1]["headers"]);

  expectOutput({"headers", "files", "--headers-input"}, kNoteStart, true, R"({"X-Other": "w"})");
  EXPECT_EQ(json::parse(*configText())["servers"][1]["headers"], json({{"x-other", "w"}}));

  // Input that holds nothing is no input at all.
  expectOutput({"add", "web", "--url", "http://localhost:8080/", "--headers-input"}, kNoteStart,
               true, "");
  EXPECT_FALSE(json::parse(*configText())["servers"][2].contains("headers"));
  expectOutput({"headers", "web", "--headers-input"},
               "Choose a headers JSON file or Clear headers.", false, "");

  // Up to 1 MiB is read; after "--" the word belongs to the tool and standard input is not read.
  std::string padded = R"({"x-big": "1"})";
  padded.resize(1024 * 1024, ' ');
  expectOutput({"headers", "web", "--headers-input"}, kNoteStart, true, padded);
  EXPECT_EQ(json::parse(*configText())["servers"][2]["headers"], json({{"x-big", "1"}}));
  expectOutput({"add", "tools", "--", "/usr/bin/tool", "--headers-input"}, kNoteStart, true,
               padded + " ");
  EXPECT_EQ(json::parse(*configText())["servers"][3]["args"], json({"--headers-input"}));
}

TEST_F(ManagementProgram, OversizedHeadersInputChangesNothing) {
  enroll();
  expectOutput({"add", "notes", "--url", "http://localhost:3000/"}, kNoteStart, true);
  cloud_->reset();
  std::optional<std::string> record = configText();

  std::string oversized = R"({"x-big": "1"})";
  oversized.resize(1024 * 1024 + 1, ' ');
  for (const Words &words :
       {Words{"headers", "notes", "--headers-input"},
        Words{"add", "web", "--url", "http://localhost:8080/", "--headers-input"}}) {
    expectOutput(words, "The headers input is larger than 1 MiB, so nothing was changed.", false,
                 oversized);
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(configText(), record);
}

} // namespace
} // namespace pellum::test
