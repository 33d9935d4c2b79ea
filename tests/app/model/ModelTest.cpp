#include "BrowserSession.h"
#include "DesktopEntry.h"
#include "PellumModel.h"
#include "SingleInstance.h"

#include "FakeCloud.h"
#include "FakeState.h"
#include "Paths.h"
#include "SampleDevice.h"
#include "ScopedVariable.h"
#include "TempDir.h"

#include "launch/LaunchService.h"
#include "onboarding/FirstRun.h"
#include "platform/ChildProcess.h"
#include "service/CloudflareInstaller.h"
#include "service/ServiceAPI.h"
#include "support/ConnectorError.h"
#include "support/Files.h"

#include <QProcess>
#include <QSignalSpy>
#include <QUrlQuery>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <map>
#include <semaphore>

using namespace pellum;
using namespace pellum::test;
using nlohmann::json;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(std::string)

namespace {

constexpr int kWait = 30000;
const QString kUnverified = QStringLiteral("Sign-in could not be verified. Please try again.");
const QString kRevoked = QStringLiteral("This Mac’s device credentials were revoked. Its local "
                                        "pairing has been cleared. Sign in to set it up again.");

std::string repeat(const std::string &text, int count) {
  std::string result;
  for (int i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

// One computer: a home, a configuration directory, the connector executable, the fake service
// manager's state, and what the model opened in the browser.
struct Computer {
  TempDir temp;
  fs::path home = temp.path() / "home";
  fs::path directory = temp.path() / "config";
  fs::path state = temp.path() / "state";
  fs::path executable = temp.path() / "app" / "PellumConnector";
  fs::path cookies = temp.path() / "data" / "Pellum" / "cookies";
  fs::path runtime = temp.path() / "runtime";
  ConfigStore store{directory};
  ScopedVariable fakeState{kFakeStateVariable, state.string()};
  std::vector<QUrl> opened;
  std::map<std::string, std::string> environment{{"PELLUM_CONFIG_DIR", directory.string()}};
  std::string computerName = "Test Computer";

  Computer() {
    for (const fs::path &path : {home, state, executable.parent_path(), runtime}) {
      fs::create_directories(path);
    }
    fs::copy_file(binDir() / "idle_program", executable);
  }

  PellumModel::Dependencies dependencies(const std::string &origin) {
    PellumModel::Dependencies d;
    d.openURL = [this](const QUrl &url) {
      opened.push_back(url);
      return true;
    };
    d.management.launch.home = home;
    d.management.launch.uid = ::getuid();
    d.management.launch.manager = binDir() / "fake_systemctl";
    d.management.launch.ps = binDir() / "fake_ps";
    d.management.launch.sleep = [](double) {};
    // Only a kept tunnel client is ever used: the release feed cannot be reached.
    d.management.installer.apiOrigin = "https://127.0.0.1:9";
    d.home = home;
    d.environment = [this](const std::string &name) -> std::optional<std::string> {
      auto found = environment.find(name);
      return found == environment.end() ? std::nullopt : std::optional(found->second);
    };
    d.statusPeriod = std::chrono::milliseconds(20);
    d.computerName = [this] { return computerName; };
    d.origin = origin;
    d.cookieFile = cookies;
    d.helper = executable;
    return d;
  }

  fs::path keptTunnelClient() const {
    return CloudflareInstaller(store).install("2025.1.0", readFile(binDir() / "fake_tunnel"));
  }

  std::optional<json> ownership() const {
    std::optional<std::string> text = readText(directory / "mac-app.json");
    return text ? std::optional<json>(json::parse(*text)) : std::nullopt;
  }

  fs::path agentUnit() const { return home / ".config/systemd/user/org.zendrel.pellum.service"; }
};

std::string queryValue(const QUrl &url, const QString &name) {
  return QUrlQuery(url).queryItemValue(name, QUrl::FullyDecoded).toStdString();
}

std::vector<json> callsTo(const json &calls, const std::string &method, const std::string &path) {
  std::vector<json> found;
  for (const json &call : calls) {
    if (call["method"] == method && call["path"] == path) {
      found.push_back(call);
    }
  }
  return found;
}

} // namespace

class ModelTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();

  void statusLine_data();
  void statusLine();
  void pairingName_data();
  void pairingName();
  void computerName_data();
  void computerName();
  void newComputerSignsInAndPairs();
  void callbackRefused_data();
  void callbackRefused();
  void redeemOutcome_data();
  void redeemOutcome();
  void pairingFailure_data();
  void pairingFailure();
  void interruptedPairingFinishedAtStart();
  void commandLinePairingConverted();
  void revokedPairingCleared();
  void revocationLeavesChangedRecord();
  void startupInspectionFailureBlocks();
  void startupVisitsTheDashboardOfAnAccount();
  void runOnlyWhenReadyAndIdle();
  void runReportsResultAndRefreshes_data();
  void runReportsResultAndRefreshes();
  void overlappingStatusTicksMakeOneQuery();
  void pollingFollowsTheWindow();
  void staleInstanceSocketIsReplaced();
  void desktopEntryRegistersScheme();

private:
  // The model of `computer` against the fake cloud, with `adjust` applied to its dependencies.
  std::unique_ptr<PellumModel>
  model(const std::function<void(PellumModel::Dependencies &)> &adjust = {}) {
    PellumModel::Dependencies dependencies = computer_->dependencies(cloud_->origin());
    if (adjust) {
      adjust(dependencies);
    }
    return std::make_unique<PellumModel>(dependencies);
  }

  // Starts the sign-in and returns the page opened in the browser.
  QUrl startSignIn(PellumModel &model) {
    std::size_t before = computer_->opened.size();
    model.signIn();
    if (computer_->opened.size() != before + 1) {
      return {};
    }
    return computer_->opened.back();
  }

  // Signs in as the browser would: the login page's redirect goes straight to the model.
  void signInThroughBrowser(PellumModel &model) {
    QUrl login = startSignIn(model);
    model.handleCallbackURL(QUrl(QString::fromStdString(
        cloud_->redirectOf(login.toString(QUrl::FullyEncoded).toStdString()))));
  }

  // A device record that the fake cloud knows, at its origin.
  DeviceConfig enrolledDevice() const {
    json answer = ServiceAPI().call(cloud_->origin(), std::nullopt, "/enroll",
                                    json{{"code", std::string(43, 'c')}}, "POST");
    answer["endpoint"] = cloud_->origin();
    answer["servers"] = json::array();
    return answer.get<DeviceConfig>();
  }

  static inline std::unique_ptr<FakeCloud> cloud_;
  static inline std::unique_ptr<ScopedVariable> trust_;
  static inline QString skipReason_;
  std::unique_ptr<Computer> computer_;
};

void ModelTest::initTestCase() {
  try {
    cloud_ = std::make_unique<FakeCloud>();
    trust_ = std::make_unique<ScopedVariable>("SSL_CERT_FILE", cloud_->caFile().string());
  } catch (const std::exception &error) {
    skipReason_ = QString::fromStdString(error.what());
  }
}

void ModelTest::cleanupTestCase() {
  trust_.reset();
  cloud_.reset();
}

void ModelTest::init() {
  if (cloud_) {
    cloud_->reset();
  }
  computer_ = std::make_unique<Computer>();
}

void ModelTest::cleanup() { computer_.reset(); }

#define REQUIRE_CLOUD()                                                                            \
  if (!cloud_) {                                                                                   \
    QSKIP(qPrintable("fake cloud unavailable: " + skipReason_));                                   \
  }

void ModelTest::statusLine_data() {
  QTest::addColumn<std::string>("text");
  QTest::addColumn<QString>("shown");
  QTest::newRow("state word") << std::string("Connector: state = running\nLogs: /x/error.log\n")
                              << QStringLiteral("Connector: running");
  QTest::newRow("only line feeds") << std::string("\n\n\n") << QStringLiteral("Status unavailable");
  QTest::newRow("empty") << std::string() << QStringLiteral("Status unavailable");
  QTest::newRow("leading empty lines") << std::string("\n\nConnector is not installed.\n")
                                       << QStringLiteral("Connector is not installed.");
  QTest::newRow("every occurrence")
      << std::string("state = a, state = b") << QStringLiteral("a, b");
}

void ModelTest::statusLine() {
  QFETCH(std::string, text);
  QFETCH(QString, shown);
  QCOMPARE(PellumModel::statusLine(text), shown);
}

void ModelTest::pairingName_data() {
  QTest::addColumn<std::string>("name");
  QTest::addColumn<std::string>("sent");
  QTest::newRow("none") << std::string() << std::string("My Mac");
  QTest::newRow("short") << std::string("Desk") << std::string("Desk");
  QTest::newRow("81 letters") << repeat("a", 81) << repeat("a", 80);
  QTest::newRow("emoji with modifiers") << repeat("👍🏽", 85) << repeat("👍🏽", 80);
  QTest::newRow("combining mark stays")
      << repeat("a", 79) + "e\u0301x" << repeat("a", 79) + "e\u0301";
}

void ModelTest::pairingName() {
  QFETCH(std::string, name);
  QFETCH(std::string, sent);
  QCOMPARE(PellumModel::pairingName(name), sent);
}

void ModelTest::computerName_data() {
  QTest::addColumn<std::optional<std::string>>("machineInfo");
  QTest::addColumn<std::string>("hostName");
  QTest::addColumn<std::string>("name");
  using Text = std::optional<std::string>;
  QTest::newRow("pretty name") << Text("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's Laptop\"\n")
                               << std::string("anna-lt") << std::string("Anna's Laptop");
  QTest::newRow("single quotes") << Text("PRETTY_HOSTNAME='Desk \"One\"'") << std::string("h")
                                 << std::string("Desk \"One\"");
  QTest::newRow("empty pretty name")
      << Text("PRETTY_HOSTNAME=\n") << std::string("anna-lt") << std::string("anna-lt");
  QTest::newRow("no file") << Text() << std::string("anna-lt") << std::string("anna-lt");
  QTest::newRow("nothing") << Text() << std::string() << std::string("My Mac");
  QTest::newRow("long") << Text("PRETTY_HOSTNAME=" + repeat("b", 90)) << std::string("h")
                        << repeat("b", 80);
}

void ModelTest::computerName() {
  QFETCH(std::optional<std::string>, machineInfo);
  QFETCH(std::string, hostName);
  QFETCH(std::string, name);
  QCOMPARE(PellumModel::computerName(machineInfo, hostName), name);
}

void ModelTest::newComputerSignsInAndPairs() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  c.computerName = repeat("👍🏽", 85);
  fs::path client = c.keptTunnelClient();
  auto m = model();
  QSignalSpy shown(m.get(), &PellumModel::showRequested);
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::loginRequired);
  QCOMPARE(shown.count(), 1);

  QUrl login = startSignIn(*m);
  QCOMPARE(m->phase(), FirstRunPhase::signingIn);
  QVERIFY(!m->windowFloating());
  QCOMPARE(login.path(), QStringLiteral("/desktop/login"));
  QUrlQuery query(login);
  QCOMPARE(query.queryItems().size(), 2);
  QCOMPARE(query.queryItems()[0].first, QStringLiteral("challenge"));
  QCOMPARE(query.queryItems()[1].first, QStringLiteral("state"));
  QCOMPARE(queryValue(login, "state").size(), 43u);
  QCOMPARE(queryValue(login, "challenge").size(), 43u);

  // The browser follows the login page to the app's scheme; the system starts a second app
  // instance with that URL, which hands it to this one.
  SingleInstance instance(c.runtime / "pellum.socket");
  QVERIFY(instance.listen());
  connect(&instance, &SingleInstance::urlReceived, m.get(), &PellumModel::handleCallbackURL);
  QSignalSpy activated(&instance, &SingleInstance::activated);
  std::string callback = cloud_->redirectOf(login.toString(QUrl::FullyEncoded).toStdString());
  QVERIFY(callback.starts_with("pellum://signin?"));
  QProcess second;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(c.runtime.string()));
  second.setProcessEnvironment(environment);
  second.start(QString::fromStdString((binDir() / "pellum_handoff").string()),
               {QString::fromStdString(callback)});
  QVERIFY(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, kWait));
  QCOMPARE(second.exitStatus(), QProcess::NormalExit);
  QCOMPARE(second.exitCode(), 0);
  QCOMPARE(activated.count(), 1);

  QVERIFY(QTest::qWaitFor([&] { return m->phase() == FirstRunPhase::ready; }, kWait));
  QCOMPARE(m->message(), QString());
  QVERIFY(!m->busy());
  QCOMPARE(m->pairingAccount(), QStringLiteral("person@example.com"));

  DeviceConfig stored = c.store.load();
  QCOMPARE(stored.endpoint, cloud_->origin());
  QCOMPARE(stored.name, repeat("👍🏽", 80));
  QCOMPARE(m->pairedName(), QString::fromStdString(stored.name));
  QVERIFY(m->pairedConfiguration() == stored);
  QCOMPARE(c.ownership(), json({{"accountId", "user-1"},
                                {"deviceId", stored.id},
                                {"endpoint", stored.endpoint},
                                {"setupComplete", true}}));
  QVERIFY(fs::exists(c.agentUnit()));
  QCOMPARE(readText(c.state / "units" / "org.zendrel.pellum.service"),
           std::optional<std::string>("active running"));
  QCOMPARE(FirstRun::inspect(c.home, c.directory).phase, FirstRunPhase::ready);
  QVERIFY(readText(c.agentUnit())->find(client.string()) != std::string::npos);

  json calls = cloud_->calls();
  std::vector<json> redeem = callsTo(calls, "POST", "/desktop/redeem");
  QCOMPARE(redeem.size(), 1u);
  QCOMPARE(redeem[0]["headers"]["origin"], json(cloud_->origin()));
  QCOMPARE(redeem[0]["headers"]["content-type"], json("application/json"));
  QCOMPARE(redeem[0]["body"].size(), 2u);
  QVERIFY(redeem[0]["body"]["code"].is_string());
  QVERIFY(redeem[0]["body"]["verifier"].is_string());
  std::vector<json> pair = callsTo(calls, "POST", "/api/desktop/pair");
  QCOMPARE(pair.size(), 1u);
  QCOMPARE(pair[0]["body"]["name"], json(repeat("👍🏽", 80)));
  QCOMPARE(pair[0]["body"]["installationId"], json(FirstRun::installationID(c.store)));
  QCOMPARE(pair[0]["body"]["port"], json(stored.port));

  // The service's session is kept privately, and the file holds nothing but its cookie.
  struct stat info {};
  QCOMPARE(::stat(c.cookies.c_str(), &info), 0);
  QCOMPARE(info.st_mode & 0777, 0600u);
  std::vector<std::string> lines;
  for (const std::string &line : m->browser().cookies()) {
    lines.push_back(line);
  }
  QCOMPARE(lines.size(), 1u);
  QVERIFY(lines[0].starts_with("#HttpOnly_127.0.0.1\t"));
  QVERIFY(lines[0].find("\tsession\t") != std::string::npos);
  std::string file = readFile(c.cookies);
  QCOMPARE(file, "# Netscape HTTP Cookie File\n" + lines[0] + "\n");
}

void ModelTest::callbackRefused_data() {
  QTest::addColumn<QString>("shape");
  QTest::addColumn<QString>("message");
  QTest::newRow("wrong state") << "pellum://signin?state=other&code=c" << kUnverified;
  QTest::newRow("second state matches")
      << "pellum://signin?state=other&state=STATE&code=c" << kUnverified;
  QTest::newRow("no code") << "pellum://signin?state=STATE" << kUnverified;
  QTest::newRow("code without value") << "pellum://signin?state=STATE&code" << kUnverified;
  QTest::newRow("other host") << "pellum://other?state=STATE&code=c" << kUnverified;
  QTest::newRow("cancelled") << QString() << QStringLiteral("Sign-in was cancelled.");
}

void ModelTest::callbackRefused() {
  REQUIRE_CLOUD();
  QFETCH(QString, shape);
  QFETCH(QString, message);
  auto m = model();
  m->beginSetup();
  QUrl login = startSignIn(*m);
  QSignalSpy finished(m.get(), &PellumModel::signInFinished);
  if (shape.isEmpty()) {
    m->cancelSignIn();
  } else {
    QString state = QString::fromStdString(queryValue(login, "state"));
    m->handleCallbackURL(QUrl(QString(shape).replace("STATE", state)));
  }
  QCOMPARE(finished.count(), 1);
  QCOMPARE(m->phase(), FirstRunPhase::loginRequired);
  QCOMPARE(m->message(), message);
  QVERIFY(!m->awaitingSignIn());
  QVERIFY(m->windowFloating());
  QVERIFY(callsTo(cloud_->calls(), "POST", "/desktop/redeem").empty());
  // The session is over: a late callback changes nothing.
  m->handleCallbackURL(QUrl("pellum://signin?state=x&code=y"));
  QCOMPARE(finished.count(), 1);
}

void ModelTest::redeemOutcome_data() {
  QTest::addColumn<bool>("goodCode");
  QTest::addColumn<QString>("redeemTo");
  QTest::addColumn<FirstRunPhase>("phase");
  QTest::addColumn<QString>("message");
  QTest::newRow("stays on redeem")
      << false << "/app" << FirstRunPhase::loginRequired
      << QStringLiteral("Sign-in handoff failed or expired. Please sign in again.");
  QTest::newRow("site root") << true << "/" << FirstRunPhase::loginRequired
                             << QStringLiteral("Sign-in could not be completed. Please try again.");
  QTest::newRow("other site opens in the browser")
      << true << "https://elsewhere.invalid/help" << FirstRunPhase::signingIn << QString();
}

void ModelTest::redeemOutcome() {
  REQUIRE_CLOUD();
  QFETCH(bool, goodCode);
  QFETCH(QString, redeemTo);
  QFETCH(FirstRunPhase, phase);
  QFETCH(QString, message);
  cloud_->setState({{"desktop", {{"redeemTo", redeemTo.toStdString()}}}});
  auto m = model();
  m->beginSetup();
  QUrl login = startSignIn(*m);
  QUrl callback(
      QString::fromStdString(cloud_->redirectOf(login.toString(QUrl::FullyEncoded).toStdString())));
  if (!goodCode) {
    QUrlQuery query(callback);
    query.removeAllQueryItems("code");
    query.addQueryItem("code", "not-issued");
    callback.setQuery(query);
  }
  m->handleCallbackURL(callback);
  if (phase == FirstRunPhase::signingIn) {
    QVERIFY(QTest::qWaitFor([&] { return computer_->opened.size() == 2; }, kWait));
    QCOMPARE(computer_->opened.back(), QUrl(redeemTo));
  } else {
    QVERIFY(QTest::qWaitFor([&] { return m->phase() != FirstRunPhase::signingIn; }, kWait));
  }
  QCOMPARE(m->phase(), phase);
  QCOMPARE(m->message(), message);
  QVERIFY(!fs::exists(computer_->store.file()));
}

void ModelTest::pairingFailure_data() {
  QTest::addColumn<QByteArray>("cloudState");
  QTest::addColumn<QString>("message");
  QTest::addColumn<FirstRunPhase>("phase");
  QTest::newRow("me without user id")
      << QByteArray(R"({"desktop": {"user": {"email": "a@example.com"}}})")
      << QStringLiteral("Sign-in is required to pair this Mac.") << FirstRunPhase::pairing;
  QTest::newRow("another account")
      << QByteArray(R"({"desktop": {"pairUserId": "user-2"}})")
      << QStringLiteral("The signed-in account changed during setup. Please try again.")
      << FirstRunPhase::pairing;
  QTest::newRow("another service")
      << QByteArray(R"({"desktop": {"pairEndpoint": "https://elsewhere.invalid"}})")
      << QStringLiteral("Pairing returned a different service. Setup stopped.")
      << FirstRunPhase::pairing;
  QTest::newRow("me refused") << QByteArray(R"({"force": {"/api/me": 401}})")
                              << QStringLiteral("Forced failure (HTTP 401).")
                              << FirstRunPhase::loginRequired;
  QTest::newRow("error without reason")
      << QByteArray(
             R"({"force": {"/api/desktop/pair": 500}, "forceBody": {"/api/desktop/pair": {}}})")
      << QStringLiteral("Setup request failed") << FirstRunPhase::pairing;
  QTest::newRow("message as reason")
      << QByteArray(
             R"({"force": {"/api/desktop/pair": 409}, "forceBody": {"/api/desktop/pair": {"message": "Too many devices."}}})")
      << QStringLiteral("Too many devices.") << FirstRunPhase::pairing;
}

void ModelTest::pairingFailure() {
  REQUIRE_CLOUD();
  QFETCH(QByteArray, cloudState);
  QFETCH(QString, message);
  QFETCH(FirstRunPhase, phase);
  computer_->keptTunnelClient();
  cloud_->setState(json::parse(cloudState.toStdString()));
  auto m = model();
  m->beginSetup();
  signInThroughBrowser(*m);
  QVERIFY(QTest::qWaitFor(
      [&] { return m->phase() == FirstRunPhase::pairing || !m->message().isEmpty(); }, kWait));
  QVERIFY(QTest::qWaitFor([&] { return !m->busy() && !m->message().isEmpty(); }, kWait));
  QCOMPARE(m->message(), message);
  QCOMPARE(m->phase(), phase);
  QVERIFY(!fs::exists(computer_->store.file()));
  if (phase != FirstRunPhase::pairing) {
    return;
  }
  // "Retry setup" with the service mended pairs this computer.
  cloud_->reset();
  m->retryPairing();
  QVERIFY(QTest::qWaitFor([&] { return m->phase() == FirstRunPhase::ready; }, kWait));
  QCOMPARE(m->message(), QString());
  QVERIFY(fs::exists(computer_->store.file()));
}

void ModelTest::interruptedPairingFinishedAtStart() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  c.keptTunnelClient();
  DeviceConfig device = enrolledDevice();
  c.store.save(device);
  FirstRun::markOwned(c.store, device, false, "user-1");
  auto m = model();
  m->beginSetup();
  QVERIFY(QTest::qWaitFor([&] { return m->phase() == FirstRunPhase::ready; }, kWait));
  QCOMPARE(m->message(), QString());
  QCOMPARE(c.ownership(), json({{"accountId", "user-1"},
                                {"deviceId", device.id},
                                {"endpoint", device.endpoint},
                                {"setupComplete", true}}));
  QVERIFY(fs::exists(c.agentUnit()));
  QCOMPARE(m->pairedName(), QString::fromStdString(device.name));
}

void ModelTest::commandLinePairingConverted() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  c.keptTunnelClient();
  DeviceConfig device = enrolledDevice();
  c.store.save(device);
  // A connector that the command line runs in a terminal.
  ChildProcess::Options program;
  program.executable = c.executable.string();
  program.arguments = {"start"};
  ChildProcess foreground(program);
  writeText(c.directory / "running.pid", std::to_string(foreground.pid()) + "\n");

  auto m = model([](PellumModel::Dependencies &d) { d.management.launch.sleep = nullptr; });
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::conversionOffer);
  QCOMPARE(m->pairedName(), QString::fromStdString(device.name));
  bool done = false;
  m->convertCLI([&] { done = true; });
  QCOMPARE(m->phase(), FirstRunPhase::converting);
  QVERIFY(m->busy());
  QVERIFY(QTest::qWaitFor([&] { return done; }, kWait));
  QCOMPARE(m->message(), QString());
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  QCOMPARE(m->output(), QStringLiteral("Converted successfully. The CLI is stopped and this app "
                                       "now manages the existing pairing."));
  foreground.wait();
  QVERIFY(foreground.status().signaled);
  QCOMPARE(foreground.status().code, SIGTERM);
  QVERIFY(fs::exists(c.agentUnit()));
  QCOMPARE(c.ownership(),
           json({{"deviceId", device.id}, {"endpoint", device.endpoint}, {"setupComplete", true}}));
}

void ModelTest::revokedPairingCleared() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  DeviceConfig device = enrolledDevice();
  c.store.save(device);
  FirstRun::markOwned(c.store, device, true, "user-1");
  fs::create_directories(c.cookies.parent_path());
  writeText(c.cookies, "# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tTRUE\t0\tsession\tx\n");
  cloud_->setState({{"revoked", true}});
  auto m = model();
  QSignalSpy shown(m.get(), &PellumModel::showRequested);
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  QVERIFY(QTest::qWaitFor([&] { return m->phase() == FirstRunPhase::loginRequired; }, kWait));
  QVERIFY(QTest::qWaitFor([&] { return !m->busy() && !m->checkingPairing(); }, kWait));
  QCOMPARE(m->message(), kRevoked);
  QCOMPARE(m->connectorStatus(), QStringLiteral("Connector is not configured."));
  QCOMPARE(m->pairedName(), QString());
  QVERIFY(!m->pairedConfiguration());
  QVERIFY(m->configuredServices().empty());
  QVERIFY(!fs::exists(c.store.file()));
  QVERIFY(!fs::exists(c.cookies));
  QVERIFY(m->browser().cookies().empty());
  QVERIFY(shown.count() >= 1);
}

void ModelTest::revocationLeavesChangedRecord() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  DeviceConfig device = enrolledDevice();
  c.store.save(device);
  FirstRun::markOwned(c.store, device, true, std::nullopt);
  DeviceConfig repaired = device;
  repaired.credential = "cred-after-new-sign-in";
  std::atomic<int> checks = 0;
  // The user paired again while the service was being asked.
  auto m = model([&](PellumModel::Dependencies &d) {
    d.isRevoked = [&](const DeviceConfig &) {
      ConfigStore(c.directory).save(repaired);
      ++checks;
      return true;
    };
  });
  m->beginSetup();
  QVERIFY(QTest::qWaitFor([&] { return checks == 1 && !m->checkingPairing(); }, kWait));
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  QCOMPARE(m->message(), QString());
  QVERIFY(c.store.load() == repaired);
  QVERIFY(fs::exists(c.directory / "mac-app.json"));
}

void ModelTest::startupInspectionFailureBlocks() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  // The first of the two variables names the directory; it holds a record that cannot be read.
  fs::path kestrin = c.temp.path() / "kestrin";
  c.environment["KESTRIN_CONFIG_DIR"] = kestrin.string();
  fs::create_directories(c.directory);
  writeText(c.directory / "config.json", "{not json");
  std::atomic<int> checks = 0;
  auto m = model([&](PellumModel::Dependencies &d) {
    d.isRevoked = [&](const DeviceConfig &) { return ++checks, true; };
  });
  QSignalSpy shown(m.get(), &PellumModel::showRequested);
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::blocked);
  QVERIFY(m->message().startsWith("Existing setup could not be read. Nothing was changed. "));
  QVERIFY(m->message().size() > 56);
  QCOMPARE(shown.count(), 1);
  bool done = false;
  m->recoverRevokedPairing([&] { done = true; });
  QVERIFY(done);
  QCOMPARE(checks.load(), 0);
  QCOMPARE(readText(c.directory / "config.json"), std::optional<std::string>("{not json"));
  m->beginSetup(); // once only
  QCOMPARE(shown.count(), 1);
}

void ModelTest::startupVisitsTheDashboardOfAnAccount() {
  REQUIRE_CLOUD();
  Computer &c = *computer_;
  DeviceConfig device = enrolledDevice();
  c.store.save(device);
  FirstRun::markOwned(c.store, device, true, "user-1");
  // The service's session has expired: its dashboard sends the page to the site root.
  auto m = model([](PellumModel::Dependencies &d) {
    d.isRevoked = [](const DeviceConfig &) { return false; };
  });
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  QVERIFY(QTest::qWaitFor([&] { return !m->message().isEmpty(); }, kWait));
  QCOMPARE(m->message(),
           QStringLiteral("This Mac is already paired. Manage your account on the website."));
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  QCOMPARE(callsTo(cloud_->calls(), "GET", "/app").size(), 1u);
  QVERIFY(callsTo(cloud_->calls(), "GET", "/").empty()); // the root is never loaded
  QVERIFY(c.opened.empty());
}

void ModelTest::runOnlyWhenReadyAndIdle() {
  REQUIRE_CLOUD();
  std::atomic<int> executed = 0;
  auto m = model([&](PellumModel::Dependencies &d) {
    d.execute = [&](const ConfigStore &, const fs::path &, const std::vector<std::string> &,
                    const std::optional<std::string> &) {
      ++executed;
      return std::string("done");
    };
  });
  bool called = false;
  for (FirstRunPhase phase : {FirstRunPhase::checking, FirstRunPhase::loginRequired,
                              FirstRunPhase::pairing, FirstRunPhase::conversionOffer}) {
    m->setPhase(phase);
    m->run({"list"}, std::nullopt, [&](bool) { called = true; });
  }
  m->setPhase(FirstRunPhase::ready);
  m->setBusy(true);
  m->run({"list"}, std::nullopt, [&](bool) { called = true; });
  QTest::qWait(100);
  QVERIFY(!called);
  QCOMPARE(executed.load(), 0);
  QCOMPARE(m->output(), QString());
}

void ModelTest::runReportsResultAndRefreshes_data() {
  QTest::addColumn<bool>("succeeds");
  QTest::newRow("success") << true;
  QTest::newRow("failure") << false;
}

void ModelTest::runReportsResultAndRefreshes() {
  REQUIRE_CLOUD();
  QFETCH(bool, succeeds);
  Computer &c = *computer_;
  DeviceConfig device = enrolledDevice();
  LocalServer service("notes", "Notes", "http");
  service.url = "http://127.0.0.1:3000/mcp";
  std::vector<std::string> seenArguments;
  std::optional<std::string> seenInput;
  fs::path seenHelper;
  std::binary_semaphore release(0);
  auto m = model([&](PellumModel::Dependencies &d) {
    d.execute = [&](const ConfigStore &store, const fs::path &helper,
                    const std::vector<std::string> &arguments,
                    const std::optional<std::string> &input) -> std::string {
      release.acquire();
      seenArguments = arguments;
      seenInput = input;
      seenHelper = helper;
      DeviceConfig changed = device;
      changed.servers = {service};
      store.save(changed);
      if (!succeeds) {
        throw ConnectorError("Local service failed.", 400);
      }
      return "Local service added.";
    };
  });
  c.store.save(device);
  FirstRun::markOwned(c.store, device, true, std::nullopt);
  m->beginSetup();
  QCOMPARE(m->phase(), FirstRunPhase::ready);
  std::optional<bool> result;
  m->run({"add", "notes", "--headers-input"}, std::string("{}"), [&](bool ok) { result = ok; });
  QVERIFY(m->busy());
  QCOMPARE(m->output(), QStringLiteral("Working…"));
  release.release();
  QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, kWait));
  QCOMPARE(*result, succeeds);
  QVERIFY(!m->busy());
  QCOMPARE(m->output(), succeeds ? QStringLiteral("Local service added.")
                                 : QStringLiteral("Local service failed."));
  QCOMPARE(seenArguments, (std::vector<std::string>{"add", "notes", "--headers-input"}));
  QCOMPARE(seenInput, std::optional<std::string>("{}"));
  QCOMPARE(seenHelper, c.executable);
  QCOMPARE(m->configuredServices().size(), 1u);
  QCOMPARE(m->configuredServices()[0].slug, std::string("notes"));
}

void ModelTest::overlappingStatusTicksMakeOneQuery() {
  REQUIRE_CLOUD();
  std::atomic<int> queries = 0;
  std::binary_semaphore release(0);
  auto m = model([&](PellumModel::Dependencies &d) {
    d.statusPeriod = std::chrono::hours(1);
    d.status = [&](const ConfigStore &, const fs::path &) {
      ++queries;
      release.acquire();
      return std::string("Connector: state = running\nLogs: /x\n");
    };
    d.startsAtLogin = [](const ConfigStore &, const fs::path &) { return true; };
    d.isRevoked = [](const DeviceConfig &) { return false; };
  });
  m->setPhase(FirstRunPhase::ready);
  m->show(); // setup runs first; the phase is then the one found on disk
  m->setPhase(FirstRunPhase::ready);
  QVERIFY(QTest::qWaitFor([&] { return queries == 1; }, kWait));
  int finished = 0;
  m->refreshConnectorStatus([&] { ++finished; });
  QCOMPARE(finished, 1); // the second tick finds a refresh running
  QVERIFY(m->checkingStatus());
  release.release();
  QVERIFY(QTest::qWaitFor([&] { return !m->checkingStatus(); }, kWait));
  QCOMPARE(queries.load(), 1);
  QCOMPARE(m->connectorStatus(), QStringLiteral("Connector: running"));
  QVERIFY(m->connectorStartsAtLogin());
}

void ModelTest::pollingFollowsTheWindow() {
  REQUIRE_CLOUD();
  std::atomic<int> queries = 0;
  auto m = model([&](PellumModel::Dependencies &d) {
    d.status = [&](const ConfigStore &, const fs::path &) -> std::string {
      ++queries;
      throw std::runtime_error("launcher gone");
    };
    d.startsAtLogin = [](const ConfigStore &, const fs::path &) -> bool {
      throw std::runtime_error("no answer");
    };
    d.isRevoked = [](const DeviceConfig &) { return false; };
  });
  m->beginSetup();
  m->setPhase(FirstRunPhase::ready);
  QVERIFY(!m->statusPolling());
  m->show();
  QVERIFY(QTest::qWaitFor([&] { return queries >= 2; }, kWait)); // immediate, then each period
  QCOMPARE(m->connectorStatus(), QStringLiteral("Connector: launcher gone"));
  QVERIFY(!m->connectorStartsAtLogin());
  for (auto hide : {&PellumModel::windowClosed, &PellumModel::windowMinimized}) {
    (m.get()->*hide)();
    QVERIFY(!m->statusPolling());
    QVERIFY(QTest::qWaitFor([&] { return !m->checkingStatus(); }, kWait));
    int before = queries;
    bool done = false;
    m->refreshConnectorStatus([&] { done = true; });
    QVERIFY(done);
    QCOMPARE(queries.load(), before); // nothing is asked while the window is away
    m->windowRestored();
    QVERIFY(m->statusPolling());
    QVERIFY(QTest::qWaitFor([&] { return queries > before; }, kWait));
  }
}

void ModelTest::staleInstanceSocketIsReplaced() {
  fs::path socket = computer_->runtime / "pellum.socket";
  {
    SingleInstance first(socket);
    QVERIFY(first.listen());
    SingleInstance second(socket);
    QVERIFY(!second.listen());
  }
  // A socket file that nobody answers on, as a crashed instance leaves it.
  writeText(socket, "");
  SingleInstance again(socket);
  QVERIFY(again.listen());
  QVERIFY(
      !SingleInstance::handOff(QUrl("pellum://signin"), computer_->runtime / "none.socket", 1000));
  QCOMPARE(SingleInstance::callbackArgument({"Pellum", "--x", "pellum://signin?state=a"}),
           std::optional<QUrl>(QUrl("pellum://signin?state=a")));
  QVERIFY(!SingleInstance::callbackArgument({"Pellum", "https://example.com"}));
}

void ModelTest::desktopEntryRegistersScheme() {
  fs::path data = computer_->temp.path() / "xdg-data";
  fs::path config = computer_->temp.path() / "xdg-config";
  writeText(config / "mimeapps.list",
            "[Added Associations]\ntext/plain=editor.desktop;\n"
            "[Default Applications]\nx-scheme-handler/pellum=old.desktop\n"
            "text/html=browser.desktop\n");
  DesktopEntry::install("/opt/Pellum dir/Pellum", computer_->home, data, config);
  std::string entry = readFile(data / "applications" / DesktopEntry::kFileName);
  QVERIFY(entry.find("\nExec=\"/opt/Pellum dir/Pellum\" %u\n") != std::string::npos);
  QVERIFY(entry.find("\nMimeType=x-scheme-handler/pellum;\n") != std::string::npos);
  QCOMPARE(readFile(config / "mimeapps.list"),
           std::string("[Added Associations]\ntext/plain=editor.desktop;\n"
                       "[Default Applications]\n"
                       "x-scheme-handler/pellum=org.zendrel.pellum.desktop\n"
                       "text/html=browser.desktop\n"));
  QCOMPARE(DesktopEntry::withDefaultHandler(""),
           std::string("[Default Applications]\n"
                       "x-scheme-handler/pellum=org.zendrel.pellum.desktop\n"));
}

int runModelTest(int argc, char **argv) {
  ModelTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ModelTest.moc"
