#include "config/DeviceConfig.h"

#include <gtest/gtest.h>

namespace pellum {
namespace {

using nlohmann::json;

json deviceJson() {
  return json::parse(R"({"endpoint": "https://pellum.zendrel.com", "id": "dev-1", "name": "Desk",
    "hostname": "desk.example", "port": 8123, "credential": "cred", "bridgePassword": "pw",
    "tunnelToken": "tok", "servers": []})");
}

TEST(RecordJson, StdioServiceWritesOnlyPresentFieldsAndRoundTrips) {
  LocalServer server("files", "Files", "stdio");
  server.command = "/usr/bin/files";
  server.args = std::vector<std::string>{};
  json written = server;
  EXPECT_EQ(written, json::parse(R"({"slug": "files", "name": "Files", "type": "stdio",
                                     "command": "/usr/bin/files", "args": []})"));
  EXPECT_EQ(written.get<LocalServer>(), server);
}

TEST(RecordJson, EveryFieldRoundTrips) {
  LocalServer server("web", "Web", "http");
  server.url = "http://localhost:3000/mcp";
  server.command = "c";
  server.args = std::vector<std::string>{"a", "b"};
  server.cwd = "/tmp";
  server.envNames = std::vector<std::string>{"A"};
  server.headers = HeaderMap{{"x-a", "1"}};
  server.headerEnv = std::map<std::string, std::string>{{"x-b", "B"}};
  server.authorizationEnv = "AUTH";
  server.basicAuth = LocalServer::BasicAuth{"U", "P"};
  EXPECT_EQ(json(server).get<LocalServer>(), server);
  DeviceConfig device = deviceJson().get<DeviceConfig>();
  device.servers.push_back(server);
  EXPECT_EQ(json(device).get<DeviceConfig>(), device);
}

TEST(RecordJson, NullAndMissingOptionalsReadAsAbsentAndUnknownKeysAreIgnored) {
  auto server = json::parse(R"({"slug": "s", "name": "n", "type": "http", "url": null,
                                 "basicAuth": null, "extra": {"x": 1}})")
                    .get<LocalServer>();
  EXPECT_EQ(server, LocalServer("s", "n", "http"));
  EXPECT_EQ(json(server).size(), 3u);
}

TEST(RecordJson, MalformedServicesFailDecoding) {
  const char *cases[] = {
      R"({"name": "n", "type": "stdio"})",
      R"({"slug": 1, "name": "n", "type": "stdio"})",
      R"({"slug": "s", "name": null, "type": "stdio"})",
      R"({"slug": "s", "name": "n", "type": "stdio", "args": ["a", 1]})",
      R"({"slug": "s", "name": "n", "type": "http", "headers": {"a": 1}})",
      R"({"slug": "s", "name": "n", "type": "http", "headers": ["a"]})",
      R"({"slug": "s", "name": "n", "type": "http", "basicAuth": {"usernameEnv": "U"}})",
      R"(["s", "n", "stdio"])",
  };
  for (const char *text : cases) {
    EXPECT_THROW(json::parse(text).get<LocalServer>(), json::exception) << text;
  }
}

TEST(RecordJson, PortMustBeAJsonIntegerInRange) {
  struct Case {
    json port;
    bool decodes;
  } cases[] = {{0, true},
               {1023, true},
               {65535, true},
               {65536, false},
               {-1, false},
               {8080.0, false},
               {80.5, false},
               {"8080", false},
               {true, false},
               {nullptr, false},
               {json::parse("18446744073709551615"), false}};
  for (const Case &c : cases) {
    json device = deviceJson();
    device["port"] = c.port;
    if (c.decodes) {
      EXPECT_EQ(device.get<DeviceConfig>().port, c.port.get<int>()) << c.port;
    } else {
      EXPECT_THROW(device.get<DeviceConfig>(), json::exception) << c.port;
    }
  }
}

TEST(RecordJson, DeviceNeedsAllNineKeys) {
  const json complete = deviceJson();
  for (const auto &[key, value] : complete.items()) {
    json device = deviceJson();
    device.erase(key);
    EXPECT_THROW(device.get<DeviceConfig>(), json::exception) << key;
  }
  json device = deviceJson();
  device["servers"] = json::object();
  EXPECT_THROW(device.get<DeviceConfig>(), json::exception);
}

TEST(RecordJson, LocalTargetOfStdio) {
  LocalServer server("s", "n", "stdio");
  EXPECT_EQ(server.localTarget(),
            json::parse(R"({"transport": "stdio", "command": "", "argumentCount": 0})"));
  server.command = "/bin/tool";
  server.args = std::vector<std::string>{"--secret-flag", "x"};
  server.cwd = "/private";
  server.envNames = std::vector<std::string>{"TOKEN"};
  EXPECT_EQ(server.localTarget(),
            json::parse(R"({"transport": "stdio", "command": "/bin/tool", "argumentCount": 2})"));
}

TEST(RecordJson, LocalTargetOfHttp) {
  LocalServer server("s", "n", "http");
  server.url = "http://localhost:3000/mcp?token=1#frag";
  EXPECT_EQ(server.localTarget(), json::parse(R"({"transport": "http",
    "url": "http://localhost:3000/mcp", "authentication": "none"})"));
  // A URL without a path keeps having none.
  server.url = "http://[::1]:3000?token=1";
  EXPECT_EQ(server.localTarget()["url"], "http://[::1]:3000");

  server.headers = HeaderMap{};
  server.headerEnv = std::map<std::string, std::string>{};
  EXPECT_EQ(server.localTarget()["authentication"], "none");
  server.headerEnv = std::map<std::string, std::string>{{"x-key", "SECRET_NAME"}};
  EXPECT_EQ(server.localTarget()["authentication"], "custom");
  server.headerEnv.reset();
  server.authorizationEnv = "AUTH";
  EXPECT_EQ(server.localTarget()["authentication"], "custom");
  server.headers = HeaderMap{{"x-a", "secret-value"}};
  server.basicAuth = LocalServer::BasicAuth{"U", "P"};
  json target = server.localTarget();
  EXPECT_EQ(target["authentication"], "basic");
  EXPECT_EQ(target.dump().find("secret"), std::string::npos);
  EXPECT_EQ(target.dump().find("AUTH"), std::string::npos);
}

} // namespace
} // namespace pellum
