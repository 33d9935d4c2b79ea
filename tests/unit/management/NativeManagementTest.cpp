#include "ManagementFixture.h"

#include "FakeState.h"
#include "Paths.h"
#include "ScopedEnv.h"
#include "ScopedVariable.h"
#include "TestHTTPServer.h"

#include "management/NativeManagement.h"
#include "platform/ServiceManager.h"
#include "support/Encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace pellum::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Words = std::vector<std::string>;

constexpr bool kSystemd = kNativeServiceManager == ServiceManager::systemd;
const std::string kAgentStarted = "Connector started. It will start automatically at login.";
const std::string kLinuxAsset = "cloudflared-linux-amd64";

void writeBytes(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Management against the fake cloud, fake service-manager programs and a kept tunnel client.
class Management : public CloudSuite {
protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (IsSkipped()) {
      return;
    }
    trust_ = std::make_unique<ScopedVariable>("SSL_CERT_FILE", cloud_->caFile().string());
    fs::create_directories(executable.parent_path());
    fs::create_directories(state);
    fs::copy_file(binDir() / "idle_program", executable);
    tunnel = CloudflareInstaller(ConfigStore(directory), installerOptions())
                 .install("2025.1.0", "#!/bin/sh\nexit 0\n");
  }

  // The release feed is a closed port unless a test serves one: nothing downloads by accident.
  CloudflareInstaller::Options installerOptions(const std::string &feed = "https://127.0.0.1:1") {
    CloudflareInstaller::Options options;
    options.apiOrigin = feed;
    options.webOrigin = feed;
    options.platform = TunnelClientPlatform::linuxExecutable("amd64");
    return options;
  }

  NativeManagement::Options options() {
    NativeManagement::Options result;
    result.launch.home = home;
    result.launch.uid = ::getuid();
    result.launch.manager = binDir() / (kSystemd ? "fake_systemctl" : "fake_launchctl");
    result.launch.ps = binDir() / "fake_ps";
    result.launch.sleep = [](double) {};
    result.installer = installerOptions();
    return result;
  }

  NativeManagement management() { return management(options()); }
  NativeManagement management(NativeManagement::Options chosen) {
    return NativeManagement(ConfigStore(directory), executable, std::move(chosen));
  }

  std::string run(const Words &words, const std::optional<std::string> &input = std::nullopt) {
    return management().execute(words, input);
  }

  std::pair<std::string, int> refusal(const Words &words,
                                      const std::optional<std::string> &input = std::nullopt) {
    return connectorError([&] { run(words, input); });
  }

  // Enrolled with the fake cloud, agent installed, calls forgotten.
  void enroll() {
    ASSERT_EQ(run({"enroll", "--endpoint", cloud_->origin()}, kCode),
              "Enrolled Test Mac. Connector installed and started; it starts at login.");
    cloud_->reset();
  }

  DeviceConfig device() const { return ConfigStore(directory).load(); }

  void addServers(const std::vector<LocalServer> &servers) {
    DeviceConfig config = device();
    config.servers.insert(config.servers.end(), servers.begin(), servers.end());
    ConfigStore(directory).save(config);
  }

  // How often the agent was (re)started by the service manager.
  std::size_t agentStarts() const {
    std::vector<std::string> log =
        readCalls(state / (kSystemd ? "systemctl.log" : "launchctl.log"));
    return std::count_if(log.begin(), log.end(), [](const std::string &line) {
      return line.find(kSystemd ? " restart " : "bootstrap ") != std::string::npos;
    });
  }

  std::vector<std::string> agentArguments() {
    auto agent = management().service->readAgent(LaunchService::label);
    return agent ? agent->programArguments : std::vector<std::string>();
  }

  // The one call received, checked for its method, path, credential and body.
  void expectOneCall(const std::string &method, const std::string &path, const json &body) {
    json received = calls();
    ASSERT_EQ(received.size(), 1u) << received.dump();
    EXPECT_EQ(received[0]["method"], method);
    EXPECT_EQ(received[0]["path"], path);
    EXPECT_EQ(received[0]["headers"]["authorization"], "Bearer " + device().credential);
    EXPECT_EQ(received[0]["body"], body);
  }

  fs::path executable = temp.path() / "app" / "PellumConnector";
  fs::path state = temp.path() / "state";
  fs::path tunnel;
  ScopedEnv fakeState_{kFakeStateVariable, state.string()};
  std::unique_ptr<ScopedVariable> trust_;
};

TEST_F(Management, EnrollSavesTheServiceAnswerAndInstallsTheAgent) {
  // Whatever the service says about the endpoint and the services is replaced.
  cloud_->setState({{"enrollExtra",
                     {{"endpoint", "https://elsewhere.example"},
                      {"servers", json::array({{{"slug", "not-a-service"}}})}}}});
  std::string origin = "https://localhost:" + std::to_string(cloud_->port());
  EXPECT_EQ(run({"enroll", "--endpoint", origin}, "  \t" + kCode + " \n"),
            "Enrolled Test Mac. Connector installed and started; it starts at login.");

  json received = calls();
  ASSERT_EQ(received.size(), 1u) << received.dump();
  EXPECT_EQ(received[0]["method"], "POST");
  EXPECT_EQ(received[0]["path"], "/connector/enroll");
  EXPECT_EQ(received[0]["body"], json({{"code", kCode}}));
  EXPECT_FALSE(received[0]["headers"].contains("authorization"));

  DeviceConfig config = device();
  EXPECT_EQ(config.endpoint, origin);
  EXPECT_EQ(config.name, "Test Mac");
  EXPECT_EQ(config.port, 47831);
  EXPECT_EQ(config.credential.rfind("cred-", 0), 0u);
  EXPECT_TRUE(config.servers.empty());

  EXPECT_EQ(agentArguments(),
            (Words{executable.string(), "start", "--cloudflared", tunnel.string()}));
  EXPECT_EQ(agentStarts(), 1u);
}

TEST_F(Management, EnrollWithoutEndpointUsesTheDefaultOrigin) {
  NativeManagement::Options chosen = options();
  chosen.defaultOrigin = cloud_->origin();
  // Pasted text may carry Unicode spaces and line ends around the code.
  EXPECT_EQ(management(chosen).execute({"enroll"}, "\u00a0" + kCode + "\u2028\r\n"),
            "Enrolled Test Mac. Connector installed and started; it starts at login.");
  EXPECT_EQ(device().endpoint, cloud_->origin());
  EXPECT_EQ(NativeManagement::Options().defaultOrigin, kDefaultServiceOrigin);
}

TEST_F(Management, EnrollRefusesBadCodesAndOriginsBeforeAnyCall) {
  std::string bad = kCode;
  bad[10] = '.';
  std::string spaced = kCode;
  spaced[10] = ' ';
  struct Case {
    Words words;
    std::optional<std::string> input;
    std::string message;
  } cases[] = {
      {{"enroll", "--endpoint", cloud_->origin()}, std::nullopt, kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, "", kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, " \n", kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, kCode.substr(0, 42), kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, kCode + "a", kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, bad, kBadCode},
      {{"enroll", "--endpoint", cloud_->origin()}, spaced, kBadCode},
      {{"enroll", "--endpoint", "http://127.0.0.1:1"},
       kCode,
       "Service URL must be an HTTPS origin."},
      {{"enroll", "--endpoint", cloud_->origin() + "/connector"},
       kCode,
       "Service URL must be an HTTPS origin."},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(refusal(c.words, c.input), std::make_pair(c.message, 400)) << c.words.back();
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(configText());
  EXPECT_FALSE(management().service->installed());

  // Any file in place of the record means enrolled, even one that does not read.
  fs::create_directories(directory);
  writeBytes(directory / "config.json", "{");
  EXPECT_EQ(refusal({"enroll", "--endpoint", cloud_->origin()}, kCode),
            std::make_pair(kAlreadyEnrolled, 400));
  EXPECT_EQ(configText(), "{");
  EXPECT_TRUE(calls().empty());
}

TEST_F(Management, FailedEnrolmentLeavesTheMacUnenrolled) {
  cloud_->setState({{"force", {{"/enroll", 500}}}});
  EXPECT_EQ(refusal({"enroll", "--endpoint", cloud_->origin()}, kCode),
            std::make_pair(std::string("Forced failure (HTTP 500)."), 500));
  // An answer that is not a device record.
  cloud_->setState({{"force", json::object()}, {"malformed", {{"/enroll", true}}}});
  EXPECT_THROW(run({"enroll", "--endpoint", cloud_->origin()}, kCode), nlohmann::json::exception);
  EXPECT_EQ(calls().size(), 2u);
  EXPECT_FALSE(configText());
  EXPECT_FALSE(management().service->installed());
}

TEST_F(Management, FailedAgentInstallAfterEnrolmentKeepsTheRecord) {
  writeBytes(state / "enable-fails", "");
  EXPECT_EQ(refusal({"enroll", "--endpoint", cloud_->origin()}, kCode),
            std::make_pair(std::string("Cannot enable connector at login."), 400));
  EXPECT_EQ(device().name, "Test Mac");
  // The connector can be started later.
  fs::remove(state / "enable-fails");
  EXPECT_EQ(run({"service", "install"}), kAgentStarted);
  EXPECT_EQ(agentStarts(), 1u);
}

TEST_F(Management, ServiceActions) {
  auto unknown = std::make_pair(std::string("Unknown service action."), 400);
  EXPECT_EQ(refusal({"service"}), unknown);
  EXPECT_EQ(refusal({"service", "start"}), unknown);
  EXPECT_EQ(run({"service", "status"}), "Connector is not installed.");
  EXPECT_EQ(run({"service", "uninstall"}), "Connector removed. Device credentials remain.");
  for (const char *action : {"install", "restart"}) {
    EXPECT_EQ(refusal({"service", action}), std::make_pair(kNotEnrolled, 400));
  }
  EXPECT_EQ(agentStarts(), 0u);

  enroll();
  std::string status = run({"service", "status"});
  EXPECT_EQ(status.rfind("Connector: ", 0), 0u) << status;
  EXPECT_NE(status.find("\nLogs: " + (directory / "service-error.log").string()),
            std::string::npos);
  EXPECT_EQ(run({"service", "restart"}), kAgentStarted);
  EXPECT_EQ(agentStarts(), 2u);

  std::optional<std::string> record = configText();
  EXPECT_EQ(run({"service", "uninstall"}), "Connector removed. Device credentials remain.");
  EXPECT_FALSE(management().service->installed());
  EXPECT_EQ(configText(), record);
  EXPECT_TRUE(fs::exists(tunnel));

  EXPECT_EQ(run({"service", "install"}), kAgentStarted);
  EXPECT_EQ(agentArguments(),
            (Words{executable.string(), "start", "--cloudflared", tunnel.string()}));
  EXPECT_TRUE(calls().empty());
}

// A release feed on a local HTTPS server that publishes `bytes` as version 2025.2.0.
class ReleaseFeed {
public:
  ReleaseFeed(const FakeCloud &cloud, const std::string &bytes)
      : server_(
            [this, bytes](const TestHTTPServer::Request &request,
                          TestHTTPServer::Exchange &exchange) {
              if (request.target == "/repos/cloudflare/cloudflared/releases/latest") {
                exchange.respond({200, {}, metadata(bytes).dump()});
              } else if (request.target == assetPath()) {
                exchange.respond({200, {}, bytes});
              } else {
                exchange.respond({404, {}, ""});
              }
            },
            tls(cloud)) {}

  std::string origin() const { return server_.url(); }

private:
  static TestHTTPServer::Options tls(const FakeCloud &cloud) {
    TestHTTPServer::Options options;
    options.tls = cloud.serverCertificate();
    return options;
  }
  static std::string assetPath() {
    return "/cloudflare/cloudflared/releases/download/2025.2.0/" + kLinuxAsset;
  }
  json metadata(const std::string &bytes) const {
    return {{"tag_name", "2025.2.0"},
            {"assets", json::array({{{"name", kLinuxAsset},
                                     {"browser_download_url", server_.url(assetPath())},
                                     {"digest", "sha256:" + sha256Hex(bytes)}}})}};
  }

  TestHTTPServer server_;
};

TEST_F(Management, CloudflaredUpdateRefreshesTheTunnelClient) {
  const std::string release = "#!/bin/sh\necho new\n";
  ReleaseFeed feed(*cloud_, release);
  NativeManagement::Options chosen = options();
  chosen.installer = installerOptions(feed.origin());
  fs::path updated = tunnel.parent_path() / "2025.2.0-cloudflared";

  // Without an agent, no enrolment is needed.
  EXPECT_EQ(management(chosen).execute({"cloudflared", "update"}, std::nullopt),
            "Cloudflare connector verified and updated.");
  EXPECT_EQ(readFile(updated), release);
  EXPECT_FALSE(configText());

  // With an agent, the agent is moved to the new client.
  enroll();
  fs::remove(updated);
  EXPECT_EQ(management(chosen).execute({"cloudflared", "update", "now"}, std::nullopt),
            "Cloudflare connector verified and updated.");
  EXPECT_EQ(agentArguments(),
            (Words{executable.string(), "start", "--cloudflared", updated.string()}));
  EXPECT_EQ(agentStarts(), 2u);

  // An agent without a record: updated first, then the record is missing.
  fs::remove(directory / "config.json");
  fs::remove(updated);
  EXPECT_EQ(connectorError([&] {
              management(chosen).execute({"cloudflared", "update"}, {});
            }),
            std::make_pair(kNotEnrolled, 400));
  EXPECT_EQ(readFile(updated), release);
  EXPECT_TRUE(calls().empty());
}

TEST_F(Management, OtherVerbsNeedTheRecordFirst) {
  EXPECT_EQ(refusal({}), std::make_pair(std::string("Choose a connector action."), 400));
  for (Words words : std::vector<Words>{{"list"},
                                        {"bogus"},
                                        {"cloudflared"},
                                        {"cloudflared", "status"},
                                        {"add", "notes", "--url", "http://localhost:1/"},
                                        {"remove"},
                                        {"headers", "notes", "--clear"}}) {
    EXPECT_EQ(refusal(words), std::make_pair(kNotEnrolled, 400)) << words.front();
  }
  enroll();
  auto invalid = std::make_pair(std::string("Choose a valid namespace."), 400);
  auto unsupported = std::make_pair(std::string("Unsupported connector action."), 400);
  EXPECT_EQ(refusal({}), std::make_pair(std::string("Choose a connector action."), 400));
  EXPECT_EQ(refusal({"bogus"}), invalid);
  EXPECT_EQ(refusal({"cloudflared"}), invalid);
  EXPECT_EQ(refusal({"remove", "Notes"}), invalid);
  EXPECT_EQ(refusal({"headers", std::string(25, 'a'), "--clear"}), invalid);
  EXPECT_EQ(refusal({"add", "--", "/bin/tool"}), invalid);
  EXPECT_EQ(refusal({"bogus", "notes"}), unsupported);
  EXPECT_EQ(refusal({"cloudflared", "status"}), unsupported);
  EXPECT_EQ(refusal({"enroll", "--endpoint", cloud_->origin()}, kCode),
            std::make_pair(kAlreadyEnrolled, 400));
  EXPECT_TRUE(calls().empty());
}

TEST_F(Management, ListShowsTheDeviceAndItsServices) {
  enroll();
  std::string head = "Device: Test Mac\nEndpoint: " + cloud_->origin() + "\n";
  EXPECT_EQ(run({"list"}), head);
  LocalServer tools("tools", "Tools", "stdio");
  tools.command = "/bin/tool";
  tools.args = Words{};
  LocalServer notes("notes", "My Notes", "http");
  notes.url = "http://localhost:3000/mcp";
  addServers({tools, notes});
  EXPECT_EQ(run({"list"}), head + "tools\tstdio\tTools\nnotes\thttp\tMy Notes");
}

TEST_F(Management, AddPublishesThenStoresAnHttpService) {
  enroll();
  EXPECT_EQ(run({"add", "notes", "--url", "http://127.0.0.1:3000/mcp?x=1"}), kNoteRestarted);
  expectOneCall("POST", "/connector/servers",
                {{"slug", "notes"},
                 {"name", "notes"},
                 {"localTarget",
                  {{"transport", "http"},
                   {"url", "http://127.0.0.1:3000/mcp"},
                   {"authentication", "none"}}}});
  LocalServer expected("notes", "notes", "http");
  expected.url = "http://127.0.0.1:3000/mcp?x=1";
  EXPECT_EQ(device().servers, std::vector<LocalServer>{expected});
  EXPECT_EQ(agentStarts(), 2u);
}

TEST_F(Management, AddTakesHeadersFromTheInputOrAFile) {
  enroll();
  ASSERT_EQ(run({"service", "uninstall"}), "Connector removed. Device credentials remain.");
  fs::path file = temp.path() / "headers.json";
  writeBytes(file, R"({"X-From-File": "f"})");
  struct Case {
    Words options;
    std::optional<std::string> input;
    std::optional<HeaderMap> headers;
    std::string name;
  } cases[] = {
      {{"--headers-input"}, R"({"X-Token": "a b"})", HeaderMap{{"x-token", "a b"}}, "ns"},
      {{"--headers-file", file.string(), "--name", "My API"},
       std::nullopt,
       HeaderMap{{"x-from-file", "f"}},
       "My API"},
      // Without input the file is the source; the input wins when both are there.
      {{"--headers-input", "--headers-file", file.string()},
       std::nullopt,
       HeaderMap{{"x-from-file", "f"}},
       "ns"},
      {{"--headers-file", file.string(), "--headers-input"},
       R"({"A": "1"})",
       HeaderMap{{"a", "1"}},
       "ns"},
      {{"--headers-input"}, std::nullopt, std::nullopt, "ns"},
      // First occurrence wins; a name that is the last word has no value.
      {{"--name", "First", "--name", "Second"}, std::nullopt, std::nullopt, "First"},
      {{"--name"}, std::nullopt, std::nullopt, "ns"},
  };
  int index = 0;
  for (const Case &c : cases) {
    std::string slug = "ns" + std::to_string(index++);
    Words words = {"add", slug, "--url", "http://localhost:8080/"};
    words.insert(words.end(), c.options.begin(), c.options.end());
    EXPECT_EQ(run(words, c.input), kNoteStart) << slug;
    LocalServer stored = device().servers.back();
    EXPECT_EQ(stored.slug, slug);
    EXPECT_EQ(stored.headers, c.headers) << slug;
    EXPECT_EQ(stored.name, c.name == "ns" ? slug : c.name);
    json body = calls().back()["body"];
    EXPECT_EQ(body["localTarget"]["authentication"], c.headers ? "custom" : "none") << slug;
    EXPECT_EQ(body["name"], stored.name);
  }
  EXPECT_EQ(calls().size(), std::size(cases));
}

TEST_F(Management, AddStdioServiceTakesEverythingAfterTheEndOfOptions) {
  enroll();
  EXPECT_EQ(run({"add", "tools", "--env", "A,,B", "--", "/usr/bin/tool", "-v"}), kNoteRestarted);
  expectOneCall("POST", "/connector/servers",
                {{"slug", "tools"},
                 {"name", "tools"},
                 {"localTarget",
                  {{"transport", "stdio"}, {"command", "/usr/bin/tool"}, {"argumentCount", 1}}}});
  LocalServer tools("tools", "tools", "stdio");
  tools.command = "/usr/bin/tool";
  tools.args = Words{"-v"};
  tools.cwd = home.string();
  tools.envNames = Words{"A", "B"};
  EXPECT_EQ(device().servers, std::vector<LocalServer>{tools});

  // Options after "--" belong to the tool.
  EXPECT_EQ(run({"add", "run", "--", "/bin/run", "--env", "Z", "--name", "N"}), kNoteRestarted);
  LocalServer runner("run", "run", "stdio");
  runner.command = "/bin/run";
  runner.args = Words{"--env", "Z", "--name", "N"};
  runner.cwd = home.string();
  runner.envNames = Words{};
  EXPECT_EQ(device().servers.back(), runner);

  EXPECT_EQ(run({"add", "bare", "--name", "Bare tool", "--", "tool"}), kNoteRestarted);
  EXPECT_EQ(device().servers.back().args, Words{});
  EXPECT_EQ(device().servers.back().name, "Bare tool");
}

TEST_F(Management, AddRefusalsMakeNoCallAndChangeNothing) {
  enroll();
  LocalServer notes("notes", "Notes", "http");
  notes.url = "http://localhost:3000/";
  addServers({notes});
  std::optional<std::string> record = configText();
  struct Case {
    Words words;
    std::optional<std::string> input;
    std::string message;
  } cases[] = {
      {{"add"}, std::nullopt, "Choose a valid namespace."},
      {{"add", "tools", "--"}, std::nullopt, "Provide an executable and arguments."},
      {{"add", "tools", "/bin/tool"}, std::nullopt, "Provide an executable and arguments."},
      {{"add", "tools", "--env", "A-B", "--", "/bin/tool"},
       std::nullopt,
       "Invalid environment variable name."},
      {{"add", "notes", "--", "/bin/tool"},
       std::nullopt,
       "Namespace is already configured on this Mac."},
      {{"add", "web", "--url", "http://example.com/"},
       std::nullopt,
       "HTTP servers must use a loopback URL without embedded credentials."},
      {{"add", "web", "--url", "http://localhost/", "--headers-input"},
       R"({"Host": "x"})",
       "Reserved or invalid HTTP header."},
      {{"add", "web", "--url", "http://localhost/", "--name", ""},
       std::nullopt,
       "Name must contain 1–80 characters."},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(refusal(c.words, c.input), std::make_pair(c.message, 400)) << c.words.back();
  }
  // Unreadable sources fail as they come.
  EXPECT_THROW(run({"add", "web", "--url", "http://localhost/", "--headers-input"}, "[1]"),
               nlohmann::json::exception);
  EXPECT_THROW(run({"add", "web", "--url", "http://localhost/", "--headers-input"}, "{\"a\": 1}"),
               nlohmann::json::exception);
  EXPECT_THROW(run({"add", "web", "--url", "http://localhost/", "--headers-file",
                    (temp.path() / "missing.json").string()}),
               std::system_error);
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(configText(), record);
}

TEST_F(Management, FailedServiceCallLeavesTheRecordUntouched) {
  enroll();
  LocalServer notes("notes", "Notes", "http");
  notes.url = "http://localhost:3000/";
  addServers({notes});
  std::optional<std::string> record = configText();
  std::size_t starts = agentStarts();

  cloud_->setState({{"force", {{"/servers", 500}, {"/servers/notes", 503}}}});
  EXPECT_EQ(refusal({"add", "web", "--url", "http://localhost/"}),
            std::make_pair(std::string("Forced failure (HTTP 500)."), 500));
  EXPECT_EQ(refusal({"headers", "notes", "--clear"}),
            std::make_pair(std::string("Forced failure (HTTP 500)."), 500));
  EXPECT_EQ(refusal({"remove", "notes"}),
            std::make_pair(std::string("Forced failure (HTTP 503)."), 503));
  cloud_->setState({{"force", json::object()}, {"revoked", true}});
  EXPECT_EQ(refusal({"add", "tools", "--", "/bin/tool"}),
            std::make_pair(std::string("Device credential revoked."), 401));

  EXPECT_EQ(calls().size(), 4u);
  EXPECT_EQ(configText(), record);
  EXPECT_EQ(agentStarts(), starts);
}

TEST_F(Management, RemoveUnpublishesThenDropsTheService) {
  enroll();
  ASSERT_EQ(run({"service", "uninstall"}), "Connector removed. Device credentials remain.");
  LocalServer a("alpha", "Alpha", "http");
  a.url = "http://localhost:1/";
  LocalServer b = a, c = a;
  b.slug = "beta";
  c.slug = "gamma";
  addServers({a, b, c});

  EXPECT_EQ(refusal({"remove", "delta"}),
            std::make_pair(std::string("Local service not found."), 400));
  EXPECT_TRUE(calls().empty());

  EXPECT_EQ(run({"remove", "beta"}), kNoteStart);
  expectOneCall("DELETE", "/connector/servers/beta", nullptr);
  EXPECT_EQ(device().servers, (std::vector<LocalServer>{a, c}));
  EXPECT_EQ(agentStarts(), 1u);
}

TEST_F(Management, DuplicateNamespacesInAHandEditedFileAreRefusedOnRead) {
  enroll();
  LocalServer a("alpha", "Alpha", "http");
  a.url = "http://localhost:1/";
  json record = json::parse(*configText());
  record["servers"] = json::array({a, a});
  writeBytes(directory / "config.json", record.dump());
  EXPECT_EQ(refusal({"remove", "alpha"}),
            std::make_pair(std::string("Duplicate local namespaces."), 400));
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(configText(), record.dump());
}

TEST_F(Management, HeadersReplaceEveryWayOfAddingCredentials) {
  enroll();
  LocalServer api("api", "API", "http");
  api.url = "http://localhost:9000/mcp";
  api.headers = HeaderMap{{"x-old", "1"}};
  api.headerEnv = std::map<std::string, std::string>{{"x-key", "API_KEY"}};
  api.authorizationEnv = "API_AUTH";
  api.basicAuth = LocalServer::BasicAuth{"API_USER", "API_PASSWORD"};
  LocalServer tools("tools", "Tools", "stdio");
  tools.command = "/bin/tool";
  tools.args = Words{};
  addServers({tools, api});

  EXPECT_EQ(run({"headers", "api", "--clear"}), kNoteRestarted);
  LocalServer cleared("api", "API", "http");
  cleared.url = api.url;
  cleared.headers = HeaderMap{};
  expectOneCall("POST", "/connector/servers",
                {{"slug", "api"},
                 {"name", "API"},
                 {"localTarget",
                  {{"transport", "http"},
                   {"url", "http://localhost:9000/mcp"},
                   {"authentication", "none"}}}});
  EXPECT_EQ(device().servers, (std::vector<LocalServer>{tools, cleared}));

  fs::path file = temp.path() / "headers.json";
  writeBytes(file, R"({"X-Api-Key": "secret"})");
  EXPECT_EQ(run({"headers", "api", "--headers-file", file.string()}), kNoteRestarted);
  EXPECT_EQ(device().servers.back().headers, (HeaderMap{{"x-api-key", "secret"}}));
  EXPECT_EQ(run({"headers", "api", "--headers-input"}, R"({"B": "2"})"), kNoteRestarted);
  EXPECT_EQ(device().servers.back().headers, (HeaderMap{{"b", "2"}}));
  // "--clear" counts wherever it stands.
  EXPECT_EQ(run({"headers", "api", "--", "--clear"}), kNoteRestarted);
  EXPECT_EQ(device().servers.back(), cleared);
  EXPECT_EQ(device().servers.front(), tools);
}

TEST_F(Management, HeadersRefusals) {
  enroll();
  LocalServer api("api", "API", "http");
  api.url = "http://localhost:9000/mcp";
  LocalServer tools("tools", "Tools", "stdio");
  tools.command = "/bin/tool";
  tools.args = Words{};
  addServers({tools, api});
  std::optional<std::string> record = configText();
  auto notHttp = std::make_pair(std::string("Choose a local HTTP service."), 400);
  auto noSource = std::make_pair(std::string("Choose a headers JSON file or Clear headers."), 400);
  EXPECT_EQ(refusal({"headers", "tools", "--clear"}), notHttp);
  EXPECT_EQ(refusal({"headers", "missing", "--clear"}), notHttp);
  EXPECT_EQ(refusal({"headers", "api"}), noSource);
  EXPECT_EQ(refusal({"headers", "api", "--headers-input"}), noSource);
  EXPECT_EQ(refusal({"headers", "api", "--", "--headers-file", "x.json"}), noSource);
  EXPECT_EQ(refusal({"headers", "api", "--headers-input"}, R"({"Content-Type": "x"})"),
            std::make_pair(std::string("Reserved or invalid HTTP header."), 400));
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(configText(), record);
}

} // namespace
} // namespace pellum::test
