#include "PellumModel.h"

#include "BrowserSession.h"

#include "config/ServiceOrigin.h"
#include "launch/LaunchService.h"
#include "onboarding/FirstRun.h"
#include "onboarding/PairingRecovery.h"
#include "platform/User.h"
#include "service/CloudflareInstaller.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Files.h"
#include "support/Unicode.h"
#include "support/Url.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFutureWatcher>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stop_token>
#include <system_error>

namespace pellum {

namespace {

const QString kInitialStatus = QStringLiteral("Checking connector…");
const std::string kMyMac = "My Mac";
constexpr int kMaximumRedirects = 20;

// What a worker thread hands back: a value or the error it threw.
template <typename T> struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;
};

// Runs `work` on `pool` and `then` with its outcome on the thread of `context` (the main
// thread), unless `context` is gone by then.
template <typename Work, typename Then>
void offMain(QObject *context, QThreadPool *pool, Work work, Then then) {
  using Result = std::invoke_result_t<Work>;
  auto *watcher = new QFutureWatcher<Outcome<Result>>(context);
  QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                   [watcher, then = std::move(then)]() mutable {
                     Outcome<Result> outcome = watcher->result();
                     watcher->deleteLater();
                     then(std::move(outcome));
                   });
  watcher->setFuture(QtConcurrent::run(pool, [work = std::move(work)]() -> Outcome<Result> {
    try {
      return {work(), nullptr};
    } catch (...) {
      return {std::nullopt, std::current_exception()};
    }
  }));
}

void call(const std::function<void()> &done) {
  if (done) {
    done();
  }
}

QString qt(const std::string &text) { return QString::fromStdString(text); }

std::string randomToken() {
  std::string text = base64Encode(secureRandomBytes(32));
  std::string token;
  for (char c : text) {
    if (c == '+') {
      token += '-';
    } else if (c == '/') {
      token += '_';
    } else if (c != '=') {
      token += c;
    }
  }
  return token;
}

std::string urlSafe(const std::string &base64) {
  std::string token;
  for (char c : base64) {
    token += c == '+' ? '-' : c == '/' ? '_' : c;
  }
  token.erase(std::remove(token.begin(), token.end(), '='), token.end());
  return token;
}

// The service's origin without a trailing slash, so that paths are appended as "/path".
std::string withoutTrailingSlash(std::string text) {
  if (text.ends_with('/')) {
    text.pop_back();
  }
  return text;
}

// Scheme, host (any letter case) and port (443 when absent) of a checked service origin: two
// origins that differ in nothing else name the same service.
std::string originKey(const std::string &text) {
  std::optional<Url> url = Url::parse(endpoint(text));
  std::string host = url ? url->host().value_or("") : "";
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return "https://" + host + ":" + (url ? url->port().value_or("443") : "443");
}

// The query items of a URL as written, in order: name and, when it has one, value. "code" and
// "code=" differ: the first has no value, the second an empty one.
std::vector<std::pair<QString, std::optional<QString>>> queryItems(const QUrl &url) {
  std::vector<std::pair<QString, std::optional<QString>>> items;
  const QString query = url.query(QUrl::FullyEncoded);
  if (query.isEmpty()) {
    return items;
  }
  for (const QString &item : query.split(u'&')) {
    qsizetype equals = item.indexOf(u'=');
    auto decode = [](const QString &text) { return QUrl::fromPercentEncoding(text.toUtf8()); };
    if (equals < 0) {
      items.emplace_back(decode(item), std::nullopt);
    } else {
      items.emplace_back(decode(item.left(equals)), decode(item.mid(equals + 1)));
    }
  }
  return items;
}

std::optional<std::optional<QString>>
firstItem(const std::vector<std::pair<QString, std::optional<QString>>> &items,
          const QString &name) {
  for (const auto &item : items) {
    if (item.first == name) {
      return item.second;
    }
  }
  return std::nullopt;
}

std::optional<std::string> processVariable(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

std::filesystem::path defaultCookieFile(
    const std::filesystem::path &home,
    const std::function<std::optional<std::string>(const std::string &)> &environment) {
  std::optional<std::string> dataHome = environment("XDG_DATA_HOME");
  std::filesystem::path base = dataHome && !dataHome->empty() && dataHome->front() == '/'
                                   ? std::filesystem::path(*dataHome)
                                   : home / ".local" / "share";
  return base / "Pellum" / "cookies";
}

// The value of PRETTY_HOSTNAME in a machine-info text, unquoted as the shell would for the
// simple forms the file uses.
std::optional<std::string> prettyHostname(const std::string &text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    if (!line.starts_with(key)) {
      continue;
    }
    std::string value = line.substr(key.size());
    std::string result;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
      char c = value[i];
      if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (quote != 0 && c == quote) {
        quote = 0;
      } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
        result += value[++i];
      } else {
        result += c;
      }
    }
    return result;
  }
  return std::nullopt;
}

} // namespace

struct PellumModel::SignIn {
  std::string state;
  std::string verifier;
};

struct PellumModel::Navigation {
  BrowserSession::Request request;
  int hops = 0;
};

struct PellumModel::Worker {
  QThreadPool pool;
  std::stop_source loading;
};

PellumModel::PellumModel(QObject *parent) : PellumModel(Dependencies{}, parent) {}

PellumModel::PellumModel(Dependencies dependencies, QObject *parent)
    : QObject(parent), deps_(std::move(dependencies)), worker_(std::make_unique<Worker>()) {
  if (!deps_.environment) {
    deps_.environment = processVariable;
  }
  if (!deps_.home) {
    deps_.home = homeDirectory();
  }
  if (!deps_.openURL) {
    deps_.openURL = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
  }
  NativeManagement::Options management = deps_.management;
  if (!management.launch.home) {
    management.launch.home = deps_.home;
    deps_.management.launch.home = deps_.home;
  }
  if (!deps_.execute) {
    deps_.execute = [management](const ConfigStore &store, const std::filesystem::path &helper,
                                 const std::vector<std::string> &arguments,
                                 const std::optional<std::string> &input) {
      return NativeManagement(store, helper, management).execute(arguments, input);
    };
  }
  if (!deps_.status) {
    deps_.status = [management](const ConfigStore &store, const std::filesystem::path &helper) {
      return LaunchService::create(store, helper, management.launch)->status();
    };
  }
  if (!deps_.startsAtLogin) {
    deps_.startsAtLogin = [management](const ConfigStore &store,
                                       const std::filesystem::path &helper) {
      return LaunchService::create(store, helper, management.launch)->startsAtLogin();
    };
  }
  if (!deps_.isRevoked) {
    deps_.isRevoked = PairingRecovery::isRevoked;
  }
  if (!deps_.computerName) {
    deps_.computerName = [] { return computerName(); };
  }
  origin_ = withoutTrailingSlash(deps_.origin.value_or(std::string(kDefaultServiceOrigin)));
  store_ = ConfigStore(*deps_.home / ".pellum");
  connectorStatus_ = kInitialStatus;
  browser_ = std::make_shared<BrowserSession>(
      deps_.cookieFile.value_or(defaultCookieFile(*deps_.home, deps_.environment)));
}

PellumModel::~PellumModel() {
  // Workers hold only copies, but they must not outlive the model's owner (files, servers).
  worker_->loading.request_stop();
  worker_->pool.waitForDone();
}

// ---- Published fields

namespace {

// Stores `value` in `field`; true when that changed it.
template <typename T> bool assign(T &field, const T &value) {
  if (field == value) {
    return false;
  }
  field = value;
  return true;
}

} // namespace

void PellumModel::setPhase(FirstRunPhase value) {
  if (assign(phase_, value)) {
    emit phaseChanged();
  }
}
void PellumModel::setPairedName(const QString &value) {
  if (assign(pairedName_, value)) {
    emit pairedNameChanged();
  }
}
void PellumModel::setPairingAccount(const QString &value) {
  if (assign(pairingAccount_, value)) {
    emit pairingAccountChanged();
  }
}
void PellumModel::setMessage(const QString &value) {
  if (assign(message_, value)) {
    emit messageChanged();
  }
}
void PellumModel::setBusy(bool value) {
  if (assign(busy_, value)) {
    emit busyChanged();
  }
}
void PellumModel::setOutput(const QString &value) {
  if (assign(output_, value)) {
    emit outputChanged();
  }
}
void PellumModel::setConnectorStatus(const QString &value) {
  if (assign(connectorStatus_, value)) {
    emit connectorStatusChanged();
  }
}
void PellumModel::setConnectorStartsAtLogin(bool value) {
  if (assign(connectorStartsAtLogin_, value)) {
    emit connectorStartsAtLoginChanged();
  }
}
void PellumModel::setCheckingLoginStartup(bool value) {
  if (assign(checkingLoginStartup_, value)) {
    emit checkingLoginStartupChanged();
  }
}
void PellumModel::setConfiguredServices(const std::vector<LocalServer> &value) {
  if (assign(configuredServices_, value)) {
    emit configuredServicesChanged();
  }
}

void PellumModel::setWindowFloating(bool floating) {
  if (assign(windowFloating_, floating)) {
    emit windowFloatingChanged(floating);
  }
}

// ---- Values derived from the system

QUrl PellumModel::originURL(const std::string &path) const { return QUrl(qt(origin_ + path)); }

bool PellumModel::statusPolling() const {
  return statusTimer_ != nullptr && statusTimer_->isActive();
}

std::filesystem::path PellumModel::helper() const {
  if (deps_.helper) {
    return *deps_.helper;
  }
  std::filesystem::path executable = QCoreApplication::applicationFilePath().toStdString();
  return LaunchService::helperURL(executable.parent_path(), executable);
}

std::string PellumModel::pairingName(const std::string &name, std::size_t limit) {
  std::string text = repairUTF8(name);
  if (text.empty()) {
    return kMyMac;
  }
  // The longest prefix, cut between code points, that holds at most `limit` characters: the
  // count of a prefix only grows as it gets longer.
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i <= text.size(); ++i) {
    if (i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      cuts.push_back(i);
    }
  }
  auto fits = [&](std::size_t cut) {
    return graphemeCount(std::string_view(text).substr(0, cut), limit + 1).value_or(0) <= limit;
  };
  auto last = std::partition_point(cuts.begin(), cuts.end(), fits);
  return last == cuts.begin() ? std::string() : text.substr(0, *(last - 1));
}

std::string PellumModel::computerName() {
  std::optional<std::string> machineInfo;
  try {
    machineInfo = readFile("/etc/machine-info", 65536);
  } catch (const std::exception &) {
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    host[0] = '\0';
  }
  return computerName(machineInfo, host);
}

std::string PellumModel::computerName(const std::optional<std::string> &machineInfo,
                                      const std::string &hostName) {
  std::optional<std::string> pretty = machineInfo ? prettyHostname(*machineInfo) : std::nullopt;
  return pairingName(pretty && !pretty->empty() ? *pretty : hostName);
}

QString PellumModel::statusLine(const std::string &statusText) {
  std::string first;
  std::size_t start = 0;
  while (start <= statusText.size()) {
    std::size_t end = statusText.find('\n', start);
    std::string piece =
        statusText.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty()) {
      first = piece;
      break;
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  if (first.empty()) {
    return QStringLiteral("Status unavailable");
  }
  constexpr std::string_view marker = "state = ";
  for (std::size_t at = first.find(marker); at != std::string::npos; at = first.find(marker, at)) {
    first.erase(at, marker.size());
  }
  return qt(first);
}

QString PellumModel::describe(const std::exception_ptr &error) {
  try {
    std::rethrow_exception(error);
  } catch (const ConnectorError &failure) {
    return qt(failure.message);
  } catch (const std::exception &failure) {
    return qt(failure.what());
  } catch (...) {
    return QStringLiteral("An unknown error occurred.");
  }
}

namespace {

bool isStatus(const std::exception_ptr &error, int status) {
  try {
    std::rethrow_exception(error);
  } catch (const ConnectorError &failure) {
    return failure.status == status;
  } catch (...) {
    return false;
  }
}

} // namespace

// ---- Start-up and window

void PellumModel::beginSetup() {
  if (setupStarted_) {
    return;
  }
  setupStarted_ = true;
  std::optional<std::filesystem::path> explicitDirectory;
  for (const char *name : {"PELLUM_CONFIG_DIR", "KESTRIN_CONFIG_DIR"}) {
    std::optional<std::string> value = deps_.environment(name);
    if (value && !value->empty()) {
      explicitDirectory = std::filesystem::path(*value);
      break;
    }
  }
  try {
    FirstRunInspection inspection = FirstRun::inspect(*deps_.home, explicitDirectory);
    store_ = inspection.store;
    setPhase(inspection.phase);
    if (inspection.device) {
      pairedConfiguration_ = inspection.device;
      setPairedName(qt(inspection.device->name));
      origin_ = withoutTrailingSlash(endpoint(inspection.device->endpoint));
    }
  } catch (...) {
    setPhase(FirstRunPhase::blocked);
    setMessage(QStringLiteral("Existing setup could not be read. Nothing was changed. ") +
               describe(std::current_exception()));
  }
  if (phase_ != FirstRunPhase::ready) {
    show();
  }
  if (phase_ == FirstRunPhase::pairing) {
    QTimer::singleShot(0, this, [this] { pairAutomatically(); });
  }
  if (phase_ == FirstRunPhase::ready && pairedConfiguration_ &&
      FirstRun::accountID(store_, *pairedConfiguration_)) {
    // The service's session, when it is still signed in, follows the user to the dashboard.
    BrowserSession::Request request;
    request.url = origin_ + "/app";
    load({request, 0});
  }
  QTimer::singleShot(0, this, [this] { recoverRevokedPairing(); });
}

void PellumModel::show() {
  if (!setupStarted_) {
    beginSetup();
  }
  windowVisible_ = true;
  emit showRequested();
  QTimer::singleShot(0, this, [this] {
    if (windowVisible_) {
      startStatusPolling();
    }
  });
}

void PellumModel::windowClosed() {
  windowVisible_ = false;
  if (statusTimer_ != nullptr) {
    statusTimer_->stop();
  }
}

void PellumModel::windowMinimized() { windowClosed(); }

void PellumModel::windowRestored() {
  windowVisible_ = true;
  startStatusPolling();
}

// ---- Status

void PellumModel::startStatusPolling() {
  if (statusTimer_ == nullptr) {
    statusTimer_ = new QTimer(this);
    connect(statusTimer_, &QTimer::timeout, this, [this] { refreshConnectorStatus(); });
  }
  statusTimer_->stop();
  refreshConnectorStatus();
  statusTimer_->start(deps_.statusPeriod);
}

void PellumModel::refreshConnectorStatus(std::function<void()> done) {
  if (phase_ != FirstRunPhase::ready || !windowVisible_ || checkingStatus_) {
    call(done);
    return;
  }
  checkingStatus_ = true;
  offMain(
      this, &worker_->pool,
      [query = deps_.status, store = store_, helper = helper()] { return query(store, helper); },
      [this, done](Outcome<std::string> outcome) {
        setConnectorStatus(outcome.error ? QStringLiteral("Connector: ") + describe(outcome.error)
                                         : statusLine(*outcome.value));
        refreshLoginStartup([this, done] {
          recoverRevokedPairing([this, done] {
            checkingStatus_ = false;
            call(done);
          });
        });
      });
}

void PellumModel::refreshLoginStartup(std::function<void()> done) {
  if (checkingLoginStartup_) {
    call(done);
    return;
  }
  setCheckingLoginStartup(true);
  offMain(
      this, &worker_->pool,
      [query = deps_.startsAtLogin, store = store_, helper = helper()] {
        return query(store, helper);
      },
      [this, done](Outcome<bool> outcome) {
        setConnectorStartsAtLogin(outcome.value.value_or(false));
        setCheckingLoginStartup(false);
        call(done);
      });
}

void PellumModel::refreshLocalServices() {
  if (phase_ != FirstRunPhase::ready) {
    return;
  }
  try {
    setConfiguredServices(store_.load().servers);
  } catch (...) {
    setOutput(describe(std::current_exception()));
  }
}

void PellumModel::run(const std::vector<std::string> &arguments,
                      const std::optional<std::string> &input,
                      std::function<void(bool)> completion) {
  if (phase_ != FirstRunPhase::ready || busy_) {
    return;
  }
  setBusy(true);
  setOutput(QStringLiteral("Working…"));
  offMain(
      this, &worker_->pool,
      [execute = deps_.execute, store = store_, helper = helper(), arguments, input] {
        return execute(store, helper, arguments, input);
      },
      [this, completion](Outcome<std::string> outcome) {
        bool succeeded = !outcome.error;
        setOutput(succeeded ? qt(*outcome.value) : describe(outcome.error));
        refreshLocalServices();
        refreshConnectorStatus([this, completion, succeeded] {
          setBusy(false);
          if (completion) {
            completion(succeeded);
          }
        });
      });
}

// ---- Sign-in

void PellumModel::signIn() {
  if (phase_ != FirstRunPhase::loginRequired || busy_) {
    return;
  }
  signIn_.reset();
  setPhase(FirstRunPhase::signingIn);
  setMessage({});
  awaitingSignIn_ = true;
  setWindowFloating(false);
  bool started = false;
  try {
    auto session = std::make_unique<SignIn>(SignIn{randomToken(), randomToken()});
    std::string challenge = urlSafe(base64Encode(sha256Digest(session->verifier)));
    QUrl login =
        QUrl(qt(origin_ + "/desktop/login?challenge=" + challenge + "&state=" + session->state));
    signIn_ = std::move(session);
    started = deps_.openURL(login);
  } catch (const std::exception &) {
    // Without secure random values there is no sign-in.
  }
  if (!started) {
    signIn_.reset();
    setPhase(FirstRunPhase::loginRequired);
    awaitingSignIn_ = false;
    setMessage(QStringLiteral("Could not open browser sign-in. Please try again."));
    setWindowFloating(true);
    show();
  }
}

void PellumModel::cancelSignIn() {
  if (signIn_) {
    completeSignIn(std::nullopt, QStringLiteral("Sign-in was cancelled."));
  }
}

void PellumModel::handleCallbackURL(const QUrl &url) {
  // Like a browser authentication session, only a running sign-in takes a callback, and only
  // one with the app's scheme.
  if (!signIn_ || url.scheme() != QStringLiteral("pellum")) {
    return;
  }
  completeSignIn(url, std::nullopt);
}

void PellumModel::completeSignIn(const std::optional<QUrl> &callback,
                                 const std::optional<QString> &error) {
  std::unique_ptr<SignIn> session = std::move(signIn_);
  setWindowFloating(true);
  show();
  std::optional<QString> code;
  if (callback && callback->isValid() && callback->host() == QStringLiteral("signin")) {
    auto items = queryItems(*callback);
    auto state = firstItem(items, QStringLiteral("state"));
    auto codeItem = firstItem(items, QStringLiteral("code"));
    if (state && *state && **state == qt(session->state) && codeItem && *codeItem) {
      code = **codeItem;
    }
  }
  if (code) {
    nlohmann::json body = {{"code", code->toStdString()}, {"verifier", session->verifier}};
    BrowserSession::Request request;
    request.method = "POST";
    request.url = origin_ + "/desktop/redeem";
    request.headers = {{"Origin", origin_}, {"Content-Type", "application/json"}};
    request.body = body.dump();
    setMessage({});
    load({request, 0});
  } else {
    setPhase(FirstRunPhase::loginRequired);
    awaitingSignIn_ = false;
    setMessage(error.value_or(QStringLiteral("Sign-in could not be verified. Please try again.")));
  }
  emit signInFinished();
}

// ---- Hidden browser

bool PellumModel::decidePolicy(const std::string &url) {
  std::optional<Url> parsed = Url::parse(url);
  if (!parsed) {
    return false;
  }
  if (BrowserSession::sameOrigin(url, origin_)) {
    if (parsed->path().value_or("/") != "/") {
      return true;
    }
    if (awaitingSignIn_) {
      awaitingSignIn_ = false;
      setPhase(FirstRunPhase::loginRequired);
      setMessage(QStringLiteral("Sign-in could not be completed. Please try again."));
    } else {
      setMessage(QStringLiteral("This Mac is already paired. Manage your account on the website."));
    }
    return false;
  }
  std::string scheme = parsed->scheme().value_or("");
  if (scheme == "https" || scheme == "http") {
    deps_.openURL(QUrl(qt(url)));
  }
  return false;
}

void PellumModel::load(Navigation navigation) {
  unsigned generation = ++navigationGeneration_;
  if (!decidePolicy(navigation.request.url)) {
    return;
  }
  std::stop_token stop = worker_->loading.get_token();
  offMain(
      this, &worker_->pool,
      [browser = browser_, request = navigation.request, stop] {
        return browser->perform(request, stop);
      },
      [this, navigation, generation](Outcome<BrowserSession::Hop> outcome) {
        if (generation != navigationGeneration_) {
          return; // superseded or stopped
        }
        if (outcome.error) {
          navigationFailed(describe(outcome.error));
          return;
        }
        BrowserSession::Hop &hop = *outcome.value;
        if (!hop.location) {
          browser_->setCurrentURL(hop.url);
          navigationFinished(hop.url);
          return;
        }
        if (navigation.hops >= kMaximumRedirects) {
          navigationFailed(QStringLiteral("Too many redirects occurred trying to open the page."));
          return;
        }
        // As browsers do: 307 and 308 repeat the request, other redirects become a plain GET.
        Navigation next{navigation.request, navigation.hops + 1};
        next.request.url = *hop.location;
        if (hop.status != 307 && hop.status != 308) {
          next.request.method = "GET";
          next.request.body.reset();
          next.request.headers.clear();
        }
        load(next);
      });
}

void PellumModel::navigationFinished(const std::string &url) {
  if (awaitingSignIn_) {
    std::string path = Url::parse(url) ? Url::parse(url)->path().value_or("") : "";
    if (path == "/app") {
      awaitingSignIn_ = false;
      QTimer::singleShot(0, this, [this] { pairAutomatically(); });
    } else if (path == "/desktop/redeem") {
      awaitingSignIn_ = false;
      setPhase(FirstRunPhase::loginRequired);
      setMessage(QStringLiteral("Sign-in handoff failed or expired. Please sign in again."));
    }
  }
  emit pageFinished(QUrl(qt(url)));
}

void PellumModel::navigationFailed(const QString &description) {
  setMessage(description);
  if (awaitingSignIn_) {
    awaitingSignIn_ = false;
    setPhase(FirstRunPhase::loginRequired);
  }
  emit pageFailed(description);
}

nlohmann::json PellumModel::browserAPI(const std::string &path,
                                       const std::optional<nlohmann::json> &body) {
  return browser_->api(origin_, path, body);
}

// ---- Pairing

void PellumModel::pairAutomatically(std::function<void()> done) {
  if ((phase_ != FirstRunPhase::signingIn && phase_ != FirstRunPhase::pairing) || busy_) {
    call(done);
    return;
  }
  setPhase(FirstRunPhase::pairing);
  setBusy(true);
  setMessage({});
  QPointer<PellumModel> self(this);
  auto showAccount = [self](std::string account) {
    QMetaObject::invokeMethod(
        self,
        [self, account] {
          if (self)
            self->setPairingAccount(qt(account));
        },
        Qt::QueuedConnection);
  };
  offMain(
      this, &worker_->pool,
      [browser = browser_, origin = origin_, store = store_, helper = helper(),
       options = deps_.management, execute = deps_.execute, name = deps_.computerName,
       showAccount]() -> DeviceConfig {
        if (!std::filesystem::exists(store.file())) {
          nlohmann::json me = browser->api(origin, "/me", std::nullopt);
          const nlohmann::json *user = me.contains("user") ? &me["user"] : nullptr;
          if (user == nullptr || !user->is_object() || !user->contains("id") ||
              !(*user)["id"].is_string()) {
            throw ConnectorError("Sign-in is required to pair this Mac.", 400);
          }
          std::string accountID = (*user)["id"].get<std::string>();
          showAccount(user->contains("email") && (*user)["email"].is_string()
                          ? (*user)["email"].get<std::string>()
                          : "your account");
          std::filesystem::path cloudflared =
              CloudflareInstaller(store, options.installer).ensure(false);
          std::string installationID = FirstRun::installationID(store);
          std::uint16_t port = FirstRun::availableBridgePort();
          nlohmann::json answer = browser->api(origin, "/desktop/pair",
                                               nlohmann::json{{"installationId", installationID},
                                                              {"name", pairingName(name())},
                                                              {"port", port}});
          if (!answer.contains("userId") || answer["userId"] != accountID) {
            throw ConnectorError("The signed-in account changed during setup. Please try again.",
                                 400);
          }
          DeviceConfig device = answer.get<DeviceConfig>();
          if (originKey(device.endpoint) != originKey(origin)) {
            throw ConnectorError("Pairing returned a different service. Setup stopped.", 400);
          }
          NativeManagement(store, helper, options).finishPairing(device, cloudflared, accountID);
          return device;
        }
        DeviceConfig device = store.load();
        if (!FirstRun::isOwned(store, device)) {
          throw ConnectorError("A CLI pairing appeared during setup. Restart the app to convert "
                               "it; nothing was overwritten.",
                               400);
        }
        execute(store, helper, {"service", "install"}, std::nullopt);
        FirstRun::markOwned(store, device, true, std::nullopt);
        return device;
      },
      [this, done](Outcome<DeviceConfig> outcome) {
        if (outcome.error) {
          setMessage(describe(outcome.error));
          if (isStatus(outcome.error, 401) && !std::filesystem::exists(store_.file())) {
            setPhase(FirstRunPhase::loginRequired);
          }
        } else {
          pairedConfiguration_ = outcome.value;
          setPairedName(qt(outcome.value->name));
          setPhase(FirstRunPhase::ready);
          refreshLocalServices();
        }
        setBusy(false);
        call(done);
      });
}

void PellumModel::retryPairing() {
  QTimer::singleShot(0, this, [this] { pairAutomatically(); });
}

void PellumModel::convertCLI(std::function<void()> done) {
  if (phase_ != FirstRunPhase::conversionOffer || busy_) {
    call(done);
    return;
  }
  setPhase(FirstRunPhase::converting);
  setBusy(true);
  setMessage({});
  offMain(
      this, &worker_->pool,
      [store = store_, helper = helper(), options = deps_.management] {
        return NativeManagement(store, helper, options).convertExistingPairing();
      },
      [this, done](Outcome<DeviceConfig> outcome) {
        if (outcome.error) {
          setPhase(FirstRunPhase::conversionOffer);
          setMessage(describe(outcome.error));
        } else {
          pairedConfiguration_ = outcome.value;
          setPairedName(qt(outcome.value->name));
          setPhase(FirstRunPhase::ready);
          setOutput(QStringLiteral("Converted successfully. The CLI is stopped and this app now "
                                   "manages the existing pairing."));
        }
        setBusy(false);
        call(done);
      });
}

void PellumModel::recoverRevokedPairing(std::function<void()> done) {
  bool eligible = phase_ == FirstRunPhase::ready || phase_ == FirstRunPhase::conversionOffer ||
                  phase_ == FirstRunPhase::pairing;
  if (checkingPairing_ || busy_ || !pairedConfiguration_ || !eligible) {
    call(done);
    return;
  }
  checkingPairing_ = true;
  DeviceConfig device = *pairedConfiguration_;
  offMain(
      this, &worker_->pool, [isRevoked = deps_.isRevoked, device] { return isRevoked(device); },
      [this, done, device](Outcome<bool> outcome) {
        auto finish = [this, done] {
          checkingPairing_ = false;
          call(done);
        };
        if (!outcome.value.value_or(false) || busy_ || !PairingRecovery::matches(device, store_)) {
          finish();
          return;
        }
        setBusy(true);
        offMain(
            this, &worker_->pool,
            [store = store_, helper = helper(), options = deps_.management, device] {
              return NativeManagement(store, helper, options).resetRevokedPairing(device);
            },
            [this, finish](Outcome<bool> reset) {
              if (reset.error) {
                setMessage(QStringLiteral("The device credentials were revoked, but local cleanup "
                                          "could not finish: ") +
                           describe(reset.error));
              } else if (*reset.value) {
                clearSignedInSession();
                pairedConfiguration_.reset();
                setPairedName({});
                setPairingAccount({});
                setOutput({});
                setConfiguredServices({});
                setConnectorStartsAtLogin(false);
                setConnectorStatus(QStringLiteral("Connector is not configured."));
                setPhase(FirstRunPhase::loginRequired);
                setMessage(QStringLiteral("This Mac’s device credentials were revoked. Its local "
                                          "pairing has been cleared. Sign in to set it up again."));
                show();
              }
              setBusy(false);
              finish();
            });
      });
}

void PellumModel::clearSignedInSession() {
  signIn_.reset();
  awaitingSignIn_ = false;
  // Stop loading: results of navigations under way are dropped, and their transfers end.
  ++navigationGeneration_;
  worker_->loading.request_stop();
  worker_->loading = std::stop_source();
  try {
    browser_->removeAllWebsiteData();
  } catch (const std::exception &) {
    // The revocation itself is done; a cookie file that cannot be removed holds only a session
    // of a device that no longer exists.
  }
}

} // namespace pellum
