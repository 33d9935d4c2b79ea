#pragma once

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"
#include "config/LocalServer.h"
#include "management/NativeManagement.h"
#include "onboarding/FirstRunPhase.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <nlohmann/json.hpp>

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace pellum {

class BrowserSession;

// The desktop app's single state object: its start-up decision, the connector's status, the one
// path of management actions, browser sign-in, automatic pairing, conversion of a command-line
// pairing and the clean-up of a revoked one. Lives on the main thread and is touched only there;
// every blocking library call runs on a worker thread with copies of `store` and `helper`, and
// its result is applied back on the main thread. Overlap is prevented by the flags `busy`,
// `checkingStatus`, `checkingLoginStartup` and `checkingPairing`, each tested and set on the
// main thread before any work leaves it.
//
// Published fields are Qt properties with a change signal; each setter emits only on a change.
// The window layer listens to showRequested() and reports the window's visibility through
// windowClosed(), windowMinimized() and windowRestored().
class PellumModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(pellum::FirstRunPhase phase READ phase WRITE setPhase NOTIFY phaseChanged)
  Q_PROPERTY(QString pairedName READ pairedName WRITE setPairedName NOTIFY pairedNameChanged)
  Q_PROPERTY(QString pairingAccount READ pairingAccount WRITE setPairingAccount NOTIFY
                 pairingAccountChanged)
  Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
  Q_PROPERTY(bool busy READ busy WRITE setBusy NOTIFY busyChanged)
  Q_PROPERTY(QString output READ output WRITE setOutput NOTIFY outputChanged)
  Q_PROPERTY(QString connectorStatus READ connectorStatus WRITE setConnectorStatus NOTIFY
                 connectorStatusChanged)
  Q_PROPERTY(bool connectorStartsAtLogin READ connectorStartsAtLogin WRITE setConnectorStartsAtLogin
                 NOTIFY connectorStartsAtLoginChanged)
  Q_PROPERTY(bool checkingLoginStartup READ checkingLoginStartup WRITE setCheckingLoginStartup
                 NOTIFY checkingLoginStartupChanged)
  Q_PROPERTY(std::vector<pellum::LocalServer> configuredServices READ configuredServices WRITE
                 setConfiguredServices NOTIFY configuredServicesChanged)

public:
  // Runs one management command: the store, the connector executable, the words and the
  // standard-input text; returns the result line or throws.
  using Executor = std::function<std::string(const ConfigStore &, const std::filesystem::path &,
                                             const std::vector<std::string> &,
                                             const std::optional<std::string> &)>;
  // A launch agent query (status text, or whether it starts at login) for a store and executable.
  using StatusQuery =
      std::function<std::string(const ConfigStore &, const std::filesystem::path &)>;
  using LoginQuery = std::function<bool(const ConfigStore &, const std::filesystem::path &)>;

  // Everything the model takes from the system; tests replace each part. An empty function or
  // value means the production default.
  struct Dependencies {
    // Opens a page in the user's default browser. Default: QDesktopServices::openUrl.
    std::function<bool(const QUrl &)> openURL;
    // Default: NativeManagement(store, helper, management).execute.
    Executor execute;
    // Service manager programs, home and tunnel client feed of the library calls made for
    // pairing, conversion, revocation and the default executor and queries.
    NativeManagement::Options management;
    // Default: LaunchService::create(store, helper, management.launch)->status().
    StatusQuery status;
    // Default: LaunchService::create(store, helper, management.launch)->startsAtLogin().
    LoginQuery startsAtLogin;
    // Default: PairingRecovery::isRevoked.
    std::function<bool(const DeviceConfig &)> isRevoked;
    // The user's home directory. Default: the account's home directory.
    std::optional<std::filesystem::path> home;
    // Looks up an environment variable. Default: the process environment.
    std::function<std::optional<std::string>(const std::string &)> environment;
    // Interval of the status polling while the window is visible.
    std::chrono::milliseconds statusPeriod{5000};
    // Default: computerName() of this system.
    std::function<std::string()> computerName;
    // The service origin used until a pairing names its own. Default: kDefaultServiceOrigin.
    std::optional<std::string> origin;
    // Where the browser session keeps the service's cookies. Default:
    // $XDG_DATA_HOME (else ~/.local/share) / "Pellum" / "cookies".
    std::optional<std::filesystem::path> cookieFile;
    // The connector executable. Default: "PellumConnector" next to the app's executable.
    std::optional<std::filesystem::path> helper;
  };

  explicit PellumModel(QObject *parent = nullptr);
  explicit PellumModel(Dependencies dependencies, QObject *parent = nullptr);
  ~PellumModel() override;

  // Published fields.
  FirstRunPhase phase() const { return phase_; }
  QString pairedName() const { return pairedName_; }
  QString pairingAccount() const { return pairingAccount_; }
  QString message() const { return message_; }
  bool busy() const { return busy_; }
  QString output() const { return output_; }
  QString connectorStatus() const { return connectorStatus_; }
  bool connectorStartsAtLogin() const { return connectorStartsAtLogin_; }
  bool checkingLoginStartup() const { return checkingLoginStartup_; }
  const std::vector<LocalServer> &configuredServices() const { return configuredServices_; }

  void setPhase(FirstRunPhase value);
  void setPairedName(const QString &value);
  void setPairingAccount(const QString &value);
  void setMessage(const QString &value);
  void setBusy(bool value);
  void setOutput(const QString &value);
  void setConnectorStatus(const QString &value);
  void setConnectorStartsAtLogin(bool value);
  void setCheckingLoginStartup(bool value);
  void setConfiguredServices(const std::vector<LocalServer> &value);

  // Fields that are not published.
  // The service origin without a trailing slash, e.g. "https://pellum.zendrel.com".
  const std::string &origin() const { return origin_; }
  // The origin + path, e.g. originURL("/app") for the dashboard.
  QUrl originURL(const std::string &path) const;
  const ConfigStore &store() const { return store_; }
  const std::optional<DeviceConfig> &pairedConfiguration() const { return pairedConfiguration_; }
  bool setupStarted() const { return setupStarted_; }
  bool awaitingSignIn() const { return awaitingSignIn_; }
  bool checkingStatus() const { return checkingStatus_; }
  bool checkingPairing() const { return checkingPairing_; }
  // True while the status timer runs (the window is visible and not minimised).
  bool statusPolling() const;
  // False while the browser sign-in is in the foreground: the window then stays at the normal
  // level instead of floating above other windows.
  bool windowFloating() const { return windowFloating_; }
  // The connector executable: "PellumConnector" next to the app's executable.
  std::filesystem::path helper() const;
  // The hidden browser session holding the service's sign-in.
  BrowserSession &browser() { return *browser_; }

  // Decides the start-up phase, once.
  void beginSetup();
  // Asks the window layer (showRequested) to create or raise the window, and starts polling.
  void show();
  // The window layer's reports: closing or minimising stops the polling, restoring restarts it.
  void windowClosed();
  void windowMinimized();
  void windowRestored();

  // Restarts the status timer with one immediate refresh.
  void startStatusPolling();
  // One status refresh (only in `ready` with the window visible, one at a time); `done` is
  // called when it has finished or was not started.
  void refreshConnectorStatus(std::function<void()> done = {});
  // Re-reads whether the connector starts at login.
  void refreshLoginStartup(std::function<void()> done = {});
  // Re-reads the service list from disk (in `ready` only).
  void refreshLocalServices();
  // Runs one management command (in `ready` and not busy only; otherwise nothing happens and
  // `completion` is never called). `completion` receives whether the command succeeded.
  void run(const std::vector<std::string> &arguments,
           const std::optional<std::string> &input = std::nullopt,
           std::function<void(bool)> completion = {});

  // Opens the browser sign-in (in `loginRequired` and not busy only).
  void signIn();
  // Ends a running browser sign-in as cancelled.
  void cancelSignIn();
  // Delivers a "pellum:" URL (the browser's sign-in callback).
  void handleCallbackURL(const QUrl &url);
  // Pairs this computer after sign-in, or finishes an interrupted app pairing. `done` is called
  // when it has finished or was not started.
  void pairAutomatically(std::function<void()> done = {});
  void retryPairing();
  // Converts the command-line pairing (in `conversionOffer` and not busy only).
  void convertCLI(std::function<void()> done = {});
  // Clears a pairing whose credential the service has revoked.
  void recoverRevokedPairing(std::function<void()> done = {});

  // One API call through the signed-in browser session: "/api" + path, GET without a body and
  // POST with one. Blocks; call it on a worker thread. Throws ConnectorError for an error answer
  // (its "error" or "message", else "Setup request failed", with its status), for an answer that
  // is not a JSON object, and when the session is not on the service's origin; an answer that
  // is not JSON is thrown as the decoding error.
  nlohmann::json browserAPI(const std::string &path, const std::optional<nlohmann::json> &body);

  // The computer's name for a new pairing: PRETTY_HOSTNAME of /etc/machine-info, else the host
  // name, else "My Mac"; cut to 80 user-perceived characters.
  static std::string computerName();
  // `name` cut to its first `limit` user-perceived characters; "My Mac" when empty.
  static std::string pairingName(const std::string &name, std::size_t limit = 80);
  // The one-line status shown for a launch agent status text.
  static QString statusLine(const std::string &statusText);
  // The text shown for a failure.
  static QString describe(const std::exception_ptr &error);

signals:
  void phaseChanged();
  void pairedNameChanged();
  void pairingAccountChanged();
  void messageChanged();
  void busyChanged();
  void outputChanged();
  void connectorStatusChanged();
  void connectorStartsAtLoginChanged();
  void checkingLoginStartupChanged();
  void configuredServicesChanged();
  // The window must be created if needed, de-minimised and brought to the front.
  void showRequested();
  void windowFloatingChanged(bool floating);
  // The browser sign-in session ended (callback accepted or refused, or cancelled).
  void signInFinished();
  // The hidden browser session finished a navigation at `url`, or failed one.
  void pageFinished(const QUrl &url);
  void pageFailed(const QString &description);

private:
  struct SignIn;
  struct Navigation;
  struct Worker;

  void setWindowFloating(bool floating);
  void completeSignIn(const std::optional<QUrl> &callback, const std::optional<QString> &error);
  void load(Navigation navigation);
  void navigationFinished(const std::string &url);
  void navigationFailed(const QString &description);
  bool decidePolicy(const std::string &url);
  void clearSignedInSession();

  Dependencies deps_;
  // The worker threads of blocking library calls; waited for when the model goes.
  std::unique_ptr<Worker> worker_;
  std::string origin_;
  ConfigStore store_;
  FirstRunPhase phase_ = FirstRunPhase::checking;
  QString pairedName_;
  QString pairingAccount_;
  QString message_;
  bool busy_ = false;
  QString output_;
  QString connectorStatus_;
  bool connectorStartsAtLogin_ = false;
  bool checkingLoginStartup_ = false;
  std::vector<LocalServer> configuredServices_;
  bool setupStarted_ = false;
  bool awaitingSignIn_ = false;
  std::optional<DeviceConfig> pairedConfiguration_;
  bool checkingStatus_ = false;
  bool checkingPairing_ = false;
  bool windowVisible_ = false;
  bool windowFloating_ = true;
  QTimer *statusTimer_ = nullptr;
  std::unique_ptr<SignIn> signIn_;
  std::shared_ptr<BrowserSession> browser_;
  // Counts navigations so that a superseded one's result is dropped.
  unsigned navigationGeneration_ = 0;
};

} // namespace pellum
