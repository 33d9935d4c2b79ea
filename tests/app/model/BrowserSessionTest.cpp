#include "BrowserSession.h"

#include "CloudSuite.h"
#include "TempDir.h"
#include "TestHTTPServer.h"

#include "support/ConnectorError.h"
#include "support/Files.h"

#include <QtTest>

#include <sys/stat.h>

using namespace pellum;
using namespace pellum::test;
using nlohmann::json;
namespace fs = std::filesystem;

class BrowserSessionTest : public QObject {
  Q_OBJECT

private slots:
  void apiMapping_data();
  void apiMapping();
  void apiNeedsThePageOnTheOrigin();
  void cookiesAreKeptPrivatelyAndRemoved();
  void redirectsAreReportedHopByHop();
};

void BrowserSessionTest::apiMapping_data() {
  QTest::addColumn<int>("status");
  QTest::addColumn<QByteArray>("body");
  QTest::addColumn<QString>("message");
  QTest::addColumn<int>("errorStatus");
  QTest::newRow("success") << 200 << QByteArray(R"({"user": {"id": "u"}})") << "(no error)" << 0;
  QTest::newRow("error") << 401 << QByteArray(R"({"error": "Signed out."})") << "Signed out."
                         << 401;
  QTest::newRow("message") << 409 << QByteArray(R"({"message": "Busy."})") << "Busy." << 409;
  QTest::newRow("empty error, message")
      << 403 << QByteArray(R"({"error": "", "message": "M"})") << "M" << 403;
  QTest::newRow("no reason") << 500 << QByteArray("{}") << "Setup request failed" << 500;
  QTest::newRow("error array body") << 500 << QByteArray("[1]") << "Setup request failed" << 500;
  QTest::newRow("not an object") << 200 << QByteArray("[1]") << "Invalid setup response." << 400;
  QTest::newRow("setup error") << 200 << QByteArray(R"({"setupError": "boom", "setupStatus": 409})")
                               << "boom" << 409;
  QTest::newRow("setup error without status")
      << 200 << QByteArray(R"({"setupError": "boom", "setupStatus": "x"})") << "boom" << 400;
  QTest::newRow("not JSON, error status")
      << 502 << QByteArray("<html>") << "(not a ConnectorError) [json.exception.parse_error.101]"
      << 0;
}

void BrowserSessionTest::apiMapping() {
  QFETCH(int, status);
  QFETCH(QByteArray, body);
  QFETCH(QString, message);
  QFETCH(int, errorStatus);
  TestHTTPServer server(
      TestHTTPServer::reply({status, {{"content-type", "application/json"}}, body.toStdString()}));
  TempDir temp;
  BrowserSession session(temp.path() / "cookies");
  std::string origin = server.url();
  session.setCurrentURL(server.url("/app"));
  for (bool post : {false, true}) {
    std::optional<json> sent = post ? std::optional<json>(json{{"name", "n"}}) : std::nullopt;
    auto [text, code] = connectorError([&] { session.api(origin, "/desktop/pair", sent); });
    QVERIFY2(text.starts_with(message.toStdString()), text.c_str());
    QCOMPARE(code, errorStatus);
    TestHTTPServer::Request request = server.requests().back();
    QCOMPARE(request.method, std::string(post ? "POST" : "GET"));
    QCOMPARE(request.target, std::string("/api/desktop/pair"));
    QCOMPARE(request.header("content-type"), std::optional<std::string>("application/json"));
    QCOMPARE(request.header("origin"), post ? std::optional(origin) : std::nullopt);
    QCOMPARE(request.body, post ? std::string(R"({"name":"n"})") : std::string());
  }
}

void BrowserSessionTest::apiNeedsThePageOnTheOrigin() {
  TestHTTPServer server(TestHTTPServer::reply({200, {}, "{}"}));
  TempDir temp;
  BrowserSession session(temp.path() / "cookies");
  const std::string refused = "Sign-in must complete before setup can continue.";
  QCOMPARE(connectorError([&] { session.api(server.url(), "/me", std::nullopt); }).first, refused);
  session.setCurrentURL("http://localhost:" + std::to_string(server.port()) + "/app");
  QCOMPARE(connectorError([&] { session.api(server.url(), "/me", std::nullopt); }).first, refused);
  QVERIFY(server.requests().empty());
}

void BrowserSessionTest::cookiesAreKeptPrivatelyAndRemoved() {
  TestHTTPServer server(
      [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
        TestHTTPServer::Response response{200, {}, "{}"};
        if (request.target == "/login") {
          response.headers = {{"set-cookie", "session=abc; Path=/; HttpOnly"}};
        }
        exchange.respond(response);
      });
  TempDir temp;
  fs::path file = temp.path() / "data" / "Pellum" / "cookies";
  BrowserSession session(file);
  session.perform({"GET", server.url("/login"), {}, std::nullopt});
  struct stat info {};
  QCOMPARE(::stat(file.c_str(), &info), 0);
  QCOMPARE(info.st_mode & 0777, 0600u);
  QCOMPARE(session.cookies().size(), 1u);
  QVERIFY(readFile(file).find("\tsession\tabc") != std::string::npos);

  // A new session (the app started again) sends the kept cookie.
  BrowserSession later(file);
  later.perform({"GET", server.url("/app"), {}, std::nullopt});
  QCOMPARE(server.requests().back().header("cookie"), std::optional<std::string>("session=abc"));

  later.removeAllWebsiteData();
  QVERIFY(!fs::exists(file));
  QVERIFY(later.cookies().empty());
  QVERIFY(!later.currentURL());
  later.perform({"GET", server.url("/app"), {}, std::nullopt});
  QVERIFY(!server.requests().back().header("cookie"));
}

void BrowserSessionTest::redirectsAreReportedHopByHop() {
  TestHTTPServer server(
      [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
        if (request.target == "/relative") {
          exchange.respond({303, {{"location", "/next?x=1"}}, ""});
        } else if (request.target == "/scheme") {
          exchange.respond({302, {{"location", "pellum://signin?state=s&code=c"}}, ""});
        } else {
          exchange.respond({200, {}, "page"});
        }
      });
  TempDir temp;
  BrowserSession session(temp.path() / "cookies");
  BrowserSession::Hop hop = session.perform({"POST", server.url("/relative"), {}, "{}"});
  QCOMPARE(hop.status, 303);
  QCOMPARE(hop.location, std::optional(server.url("/next?x=1")));
  QCOMPARE(server.requests().size(), 1u); // not followed
  hop = session.perform({"GET", server.url("/scheme"), {}, std::nullopt});
  QCOMPARE(hop.location, std::optional<std::string>("pellum://signin?state=s&code=c"));
  hop = session.perform({"GET", server.url("/page"), {}, std::nullopt});
  QCOMPARE(hop.status, 200);
  QCOMPARE(hop.body, std::string("page"));
  QVERIFY(!hop.location);
  QVERIFY(BrowserSession::sameOrigin(server.url("/a"), server.url("/b?c")));
  QVERIFY(!BrowserSession::sameOrigin(server.url("/a"),
                                      "https://127.0.0.1:" + std::to_string(server.port())));
}

int runBrowserSessionTest(int argc, char **argv) {
  BrowserSessionTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "BrowserSessionTest.moc"
