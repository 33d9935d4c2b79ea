#include "config/ConfigStore.h"
#include "config/ServiceOrigin.h"
#include "support/ConnectorError.h"
#include "support/Files.h"

#include "Refusal.h"
#include "SampleDevice.h"
#include "ScopedVariable.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pellum {
namespace {

namespace fs = std::filesystem;
using test::refusal;
using test::sampleDevice;
using test::ScopedVariable;
using test::TempDir;

const std::string kNotEnrolled =
    "This Mac is not enrolled. Create a device in your dashboard, then enroll it here.";

mode_t modeOf(const fs::path &path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

void writeText(const fs::path &path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> entries(const fs::path &directory) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DeviceConfigRules, Validation) {
  struct Case {
    const char *label;
    void (*change)(DeviceConfig &);
    std::string message;
  } cases[] = {
      {"valid, no services", [](DeviceConfig &) {}, ""},
      {"port 1024", [](DeviceConfig &d) { d.port = 1024; }, ""},
      {"port 65535", [](DeviceConfig &d) { d.port = 65535; }, ""},
      {"blank secrets pass", [](DeviceConfig &d) { d.credential = " "; }, ""},
      {"empty id, name, hostname", [](DeviceConfig &d) { d.id = d.name = d.hostname = ""; }, ""},
      {"http endpoint", [](DeviceConfig &d) { d.endpoint = "http://pellum.zendrel.com"; },
       "Service URL must be an HTTPS origin."},
      {"port 1023", [](DeviceConfig &d) { d.port = 1023; },
       "Invalid device credentials or bridge port."},
      {"no credential", [](DeviceConfig &d) { d.credential = ""; },
       "Invalid device credentials or bridge port."},
      {"no bridge password", [](DeviceConfig &d) { d.bridgePassword = ""; },
       "Invalid device credentials or bridge port."},
      {"no tunnel token", [](DeviceConfig &d) { d.tunnelToken = ""; },
       "Invalid device credentials or bridge port."},
      {"duplicate invalid slugs",
       [](DeviceConfig &d) {
         d.servers = {LocalServer("Bad", "x", "stdio"), LocalServer("Bad", "y", "stdio")};
       },
       "Duplicate local namespaces."},
      {"one bad service", [](DeviceConfig &d) { d.servers = {LocalServer("ok", "x", "stdio")}; },
       "Provide a command and argument list."},
  };
  for (const Case &c : cases) {
    DeviceConfig device = sampleDevice();
    c.change(device);
    EXPECT_EQ(refusal([&] { device.validate(); }), c.message) << c.label;
  }
}

class ConfigDirectory : public ::testing::Test {
protected:
  TempDir home;
  ScopedVariable homeVariable{"HOME", home.path().string()};
  ScopedVariable pellumVariable{"PELLUM_CONFIG_DIR", std::nullopt};
  ScopedVariable kestrinVariable{"KESTRIN_CONFIG_DIR", std::nullopt};

  void makeRecord(const fs::path &directory) {
    fs::create_directories(directory);
    writeText(directory / "config.json", "{}");
  }
};

TEST_F(ConfigDirectory, DefaultsToDotPellumInHome) {
  EXPECT_EQ(ConfigStore().directory(), home.path() / ".pellum");
  EXPECT_EQ(ConfigStore().file(), home.path() / ".pellum" / "config.json");
  EXPECT_FALSE(fs::exists(home.path() / ".pellum")); // resolution touches nothing
}

TEST_F(ConfigDirectory, LegacyDirectoryOnlyWhileItHoldsTheOnlyRecord) {
  fs::create_directories(home.path() / ".pellum");
  makeRecord(home.path() / ".kestrin");
  EXPECT_EQ(ConfigStore().directory(), home.path() / ".kestrin");
  makeRecord(home.path() / ".pellum");
  EXPECT_EQ(ConfigStore().directory(), home.path() / ".pellum");
}

TEST_F(ConfigDirectory, EnvironmentVariables) {
  {
    ScopedVariable kestrin("KESTRIN_CONFIG_DIR", "/k");
    EXPECT_EQ(ConfigStore().directory(), "/k");
    ScopedVariable pellum("PELLUM_CONFIG_DIR", "/p");
    EXPECT_EQ(ConfigStore().directory(), "/p");
    ScopedVariable empty("PELLUM_CONFIG_DIR", "");
    EXPECT_EQ(ConfigStore().directory(), home.path() / ".pellum");
  }
  ScopedVariable relative("PELLUM_CONFIG_DIR", "relative/dir");
  EXPECT_EQ(ConfigStore().directory(), fs::current_path() / "relative/dir");
  EXPECT_EQ(ConfigStore(fs::path("given")).directory(), "given");
}

TEST_F(ConfigDirectory, HomeFromUserDatabaseWithoutHOME) {
  ScopedVariable noHome("HOME", std::nullopt);
  fs::path directory = ConfigStore().directory();
  EXPECT_EQ(directory.filename(), ".pellum");
  EXPECT_TRUE(directory.is_absolute());
  EXPECT_NE(directory.parent_path(), home.path());
}

TEST(ConfigFiles, PrepareMakesTheDirectoryOwnerOnlyEveryTime) {
  TempDir temp;
  ConfigStore store(temp.path() / "a" / "b");
  store.prepare();
  EXPECT_EQ(modeOf(temp.path() / "a"), 0700u);
  EXPECT_EQ(modeOf(store.directory()), 0700u);
  fs::permissions(store.directory(), fs::perms::all);
  store.prepare();
  EXPECT_EQ(modeOf(store.directory()), 0700u);

  writeText(temp.path() / "file", "x");
  EXPECT_THROW(ConfigStore(temp.path() / "file").prepare(), std::system_error);
  EXPECT_THROW(ConfigStore(temp.path() / "file" / "sub").prepare(), std::system_error);
}

TEST(ConfigFiles, PrivateWriteReplacesWithAnOwnerOnlyFile) {
  TempDir temp;
  fs::path destination = temp.path() / "data.json";
  writeText(destination, "old");
  fs::permissions(destination, fs::perms(0644));
  privateWrite("new content", destination);
  EXPECT_EQ(readFile(destination), "new content");
  EXPECT_EQ(modeOf(destination), 0600u);
  EXPECT_EQ(entries(temp.path()), std::vector<std::string>{"data.json"});

  mode_t old = ::umask(0277); // a umask without owner write must not matter
  privateWrite("", temp.path() / "empty");
  ::umask(old);
  EXPECT_EQ(modeOf(temp.path() / "empty"), 0600u);
}

TEST(ConfigFiles, PrivateWriteFailuresLeaveTheDestinationAndNoTemporary) {
  TempDir temp;
  fs::path destination = temp.path() / "data.json";
  writeText(destination, "old");

  EXPECT_EQ(refusal([&] { privateWrite("x", temp.path() / "missing" / "data.json"); }),
            "Cannot create private configuration file.");

  // No descriptor left to create the temporary with.
  {
    int next = ::dup(0);
    ::close(next);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(next);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    std::string message = refusal([&] { privateWrite("new", destination); });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(message, "Cannot create private configuration file.");
  }

  // The write itself fails (file size limit): the platform's error comes through.
  {
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = 4;
    ::setrlimit(RLIMIT_FSIZE, &tight);
    std::string message;
    try {
      privateWrite("more than four bytes", destination);
    } catch (const std::system_error &error) {
      message = error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(message, "File too large");
  }

  // The rename fails: a non-empty directory cannot be replaced by a file.
  fs::create_directories(temp.path() / "dir" / "inner");
  EXPECT_EQ(refusal([&] { privateWrite("x", temp.path() / "dir"); }), "Cannot save configuration.");

  EXPECT_EQ(readFile(destination), "old");
  EXPECT_EQ(entries(temp.path()), (std::vector<std::string>{"data.json", "dir"}));
}

TEST(ConfigFiles, SaveAndLoad) {
  TempDir temp;
  ConfigStore store(temp.path() / "config");
  EXPECT_EQ(refusal([&] { store.load(); }), kNotEnrolled);

  DeviceConfig device = sampleDevice();
  LocalServer server("tools", "Tools", "stdio");
  server.command = "/bin/tool";
  server.args = std::vector<std::string>{};
  server.headers = HeaderMap{{"z", "1"}, {"a", "2"}};
  device.servers.push_back(server);
  store.save(device);
  EXPECT_EQ(modeOf(store.directory()), 0700u);
  EXPECT_EQ(modeOf(store.file()), 0600u);
  EXPECT_EQ(store.load(), device);

  std::string text = readFile(store.file());
  EXPECT_NE(text.find("\n  \"bridgePassword\""), std::string::npos) << text; // pretty-printed
  EXPECT_LT(text.find("\"bridgePassword\""), text.find("\"credential\""));
  EXPECT_LT(text.find("\"args\""), text.find("\"command\""));
  EXPECT_LT(text.find("\"a\": \"2\""), text.find("\"z\": \"1\""));
  EXPECT_EQ(text.find("null"), std::string::npos);
  EXPECT_EQ(entries(store.directory()), std::vector<std::string>{"config.json"});
}

TEST(ConfigFiles, InvalidRecordsAreNeitherSavedNorLoaded) {
  TempDir temp;
  ConfigStore store(temp.path());
  store.save(sampleDevice());
  std::string saved = readFile(store.file());

  DeviceConfig invalid = sampleDevice();
  invalid.port = 80;
  EXPECT_EQ(refusal([&] { store.save(invalid); }), "Invalid device credentials or bridge port.");
  EXPECT_EQ(readFile(store.file()), saved);
  EXPECT_EQ(entries(temp.path()), std::vector<std::string>{"config.json"});

  writeText(store.file(), nlohmann::json(invalid).dump());
  EXPECT_EQ(refusal([&] { store.load(); }), "Invalid device credentials or bridge port.");
  writeText(store.file(), "{\"endpoint\": ");
  EXPECT_THROW(store.load(), nlohmann::json::parse_error);
  writeText(store.file(), "[]");
  EXPECT_THROW(store.load(), nlohmann::json::type_error);
  writeText(store.file(), "{\"endpoint\": \"\xFF\"}");
  EXPECT_THROW(store.load(), nlohmann::json::parse_error);
}

TEST(ConfigFiles, LegacyEndpointLoadsAsTheDefaultWithoutRewriting) {
  TempDir temp;
  ConfigStore store(temp.path());
  DeviceConfig device = sampleDevice();
  device.endpoint = kLegacyServiceOrigin;
  store.save(device);
  std::string before = readFile(store.file());
  EXPECT_EQ(store.load().endpoint, kDefaultServiceOrigin);
  EXPECT_EQ(readFile(store.file()), before);
}

TEST(ConfigFiles, EnvironmentIsCompletedBySecretsFile) {
  TempDir temp;
  ConfigStore store(temp.path());
  ScopedVariable fromProcess("PELLUM_TEST_SHARED", "process");
  EXPECT_EQ(store.environment(), processEnvironment());

  writeText(temp.path() / "secrets.env", "PELLUM_TEST_SHARED=file\nPELLUM_TEST_ONLY=secret\n");
  Environment merged = store.environment();
  EXPECT_EQ(merged["PELLUM_TEST_SHARED"], "process");
  EXPECT_EQ(merged["PELLUM_TEST_ONLY"], "secret");

  writeText(temp.path() / "secrets.env", "BROKEN");
  EXPECT_EQ(refusal([&] { store.environment(); }), "Invalid secrets.env entry.");
  writeText(temp.path() / "secrets.env", "A=\xFF\n");
  EXPECT_THROW(store.environment(), std::system_error);
  fs::remove(temp.path() / "secrets.env");
  fs::create_directory(temp.path() / "secrets.env");
  EXPECT_THROW(store.environment(), std::system_error);
}

} // namespace
} // namespace pellum
