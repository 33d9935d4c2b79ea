#include "service/ServiceAPI.h"

#include "service/TransportError.h"
#include "support/ConnectorError.h"

#include "TrustedServerTest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <future>

namespace pellum {
namespace {

using nlohmann::json;
using test::TestHTTPServer;

class ServiceAPITest : public test::TrustedServerTest {
protected:
  // The origin of `server` as the device record would hold it.
  static std::string origin(const TestHTTPServer &server) { return server.url(); }
};

TEST_F(ServiceAPITest, SendsTheRequestTheServiceExpects) {
  TestHTTPServer server(TestHTTPServer::reply({200, {}, R"({"servers":[]})"}), tls());
  json body = {{"targets", json::array({{{"slug", "notes"}}})}};
  EXPECT_EQ(ServiceAPI().call(origin(server), "device-secret", "/heartbeat", body, "POST"),
            json({{"servers", json::array()}}));
  EXPECT_EQ(ServiceAPI().call(origin(server) + "/", std::nullopt, "/status", std::nullopt, "GET"),
            json({{"servers", json::array()}}));
  ServiceAPI().call(origin(server), "device-secret", "/servers/my-notes", std::nullopt, "DELETE");

  auto received = server.requests();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].method, "POST");
  EXPECT_EQ(received[0].target, "/connector/heartbeat");
  EXPECT_EQ(received[0].header("content-type"), "application/json");
  EXPECT_EQ(received[0].header("authorization"), "Bearer device-secret");
  EXPECT_EQ(json::parse(received[0].body), body);

  EXPECT_EQ(received[1].method, "GET");
  EXPECT_EQ(received[1].target, "/connector/status");
  EXPECT_EQ(received[1].header("content-type"), "application/json");
  EXPECT_EQ(received[1].header("authorization"), std::nullopt);
  EXPECT_EQ(received[1].body, "");

  EXPECT_EQ(received[2].method, "DELETE");
  EXPECT_EQ(received[2].target, "/connector/servers/my-notes");
  EXPECT_EQ(received[2].body, "");
}

TEST_F(ServiceAPITest, PathCannotAddAQuery) {
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "{}"}), tls());
  ServiceAPI().call(origin(server), std::nullopt, "/servers/a b?c#d", std::nullopt, "DELETE");
  EXPECT_EQ(server.requests().at(0).target, "/connector/servers/a%20b%3Fc%23d");
}

TEST_F(ServiceAPITest, AnswersBecomeObjectsOrErrors) {
  struct Case {
    int status;
    std::string body;
    std::optional<json> answer; // else the error below
    std::string error;
  } cases[] = {
      {200, R"({"id":"d1","port":47000})", json({{"id", "d1"}, {"port", 47000}}), ""},
      {201, "", json::object(), ""},
      {200, "[1,2]", json::object(), ""},
      {200, "plain text", json::object(), ""},
      {204, "", json::object(), ""},
      {302, "", std::nullopt, "Service request failed (HTTP 302)."},
      {302, R"({"error":"Moved away."})", std::nullopt, "Moved away."},
      {401, R"({"error":"Device revoked."})", std::nullopt, "Device revoked."},
      {401, R"({"error":5})", std::nullopt, "Service request failed (HTTP 401)."},
      {401, R"({"error":{"text":"x"}})", std::nullopt, "Service request failed (HTTP 401)."},
      {500, "<html>oops</html>", std::nullopt, "Service request failed (HTTP 500)."},
      {404, R"(["error"])", std::nullopt, "Service request failed (HTTP 404)."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    std::vector<std::pair<std::string, std::string>> headers;
    if (c.status == 302) {
      headers.emplace_back("Location", "/connector/elsewhere");
    }
    TestHTTPServer server(TestHTTPServer::reply({c.status, headers, c.body}), tls());
    try {
      json answer = ServiceAPI().call(origin(server), "k", "/status", std::nullopt, "GET");
      EXPECT_EQ(std::optional<json>(answer), c.answer);
    } catch (const ConnectorError &error) {
      EXPECT_FALSE(c.answer) << "unexpected error " << error.message;
      EXPECT_EQ(error.message, c.error);
      EXPECT_EQ(error.status, c.status);
    }
    EXPECT_EQ(server.requests().size(), 1u); // a redirect is not followed
  }
}

TEST_F(ServiceAPITest, AnswerIsLimitedToTwoMebibytes) {
  // A JSON object of exactly `size` bytes.
  auto objectOfSize = [](std::size_t size) {
    return R"({"a":")" + std::string(size - 8, 'x') + R"("})";
  };
  TestHTTPServer server(TestHTTPServer::reply({200, {}, objectOfSize(ServiceAPI::kResponseLimit)}),
                        tls());
  EXPECT_EQ(ServiceAPI()
                .call(origin(server), std::nullopt, "/x", std::nullopt, "GET")["a"]
                .get<std::string>()
                .size(),
            ServiceAPI::kResponseLimit - 8);

  for (bool failure : {false, true}) {
    // One byte too many, then the server holds the rest back: the call must not wait for it.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    TestHTTPServer oversized(
        [&](const auto &, TestHTTPServer::Exchange &exchange) {
          exchange.write("HTTP/1.1 " + std::string(failure ? "500" : "200") +
                         " X\r\nContent-Length: 4194304\r\n\r\n" +
                         std::string(ServiceAPI::kResponseLimit + 1, ' '));
          released.wait();
        },
        tls());
    try {
      ServiceAPI(isolatedSession(std::nullopt, 20, 30))
          .call(origin(oversized), std::nullopt, "/x", std::nullopt, "GET");
      ADD_FAILURE() << "oversized answer accepted";
    } catch (const ConnectorError &error) {
      EXPECT_EQ(error.message, "Service response exceeded its size limit.");
      EXPECT_EQ(error.status, 400);
    }
    release.set_value();
  }
}

TEST_F(ServiceAPITest, NothingIsSentForAnOriginThatIsNotHTTPS) {
  TestHTTPServer plain(TestHTTPServer::reply({200, {}, "{}"}));
  try {
    ServiceAPI().call(plain.url(), std::nullopt, "/enroll", json::object(), "POST");
    FAIL() << "plain HTTP origin accepted";
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.message, "Service URL must be an HTTPS origin.");
    EXPECT_EQ(error.status, 400);
  }
  EXPECT_TRUE(plain.requests().empty());
}

TEST_F(ServiceAPITest, PlatformErrorsPassThroughUnchanged) {
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "{}"}), tls());
  // A string that is not UTF-8 cannot be serialised.
  EXPECT_THROW(
      ServiceAPI().call(origin(server), std::nullopt, "/enroll", json({{"code", "\xff"}}), "POST"),
      json::type_error);
  EXPECT_TRUE(server.requests().empty());

  try {
    ServiceAPI().call("https://127.0.0.1:" + std::to_string(closedPort()), "k", "/heartbeat",
                      json::object(), "POST");
    FAIL() << "no error";
  } catch (const TransportError &error) {
    EXPECT_EQ(error.code, CURLE_COULDNT_CONNECT) << error.what();
  }
}

TEST_F(ServiceAPITest, ProxyVariablesAreIgnored) {
  TestHTTPServer proxy(TestHTTPServer::reply({200, {}, R"({"via":"proxy"})"}));
  TestHTTPServer server(TestHTTPServer::reply({200, {}, R"({"via":"direct"})"}), tls());
  test::ScopedVariable https("https_proxy", proxy.url());
  test::ScopedVariable all("ALL_PROXY", proxy.url());
  test::ScopedVariable none("no_proxy", std::nullopt);
  EXPECT_EQ(ServiceAPI().call(origin(server), "k", "/status", std::nullopt, "GET"),
            json({{"via", "direct"}}));
  EXPECT_TRUE(proxy.requests().empty());
}

} // namespace
} // namespace pellum
