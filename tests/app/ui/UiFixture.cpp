#include "UiFixture.h"

#include "SampleDevice.h"
#include "UiParts.h"

#include "config/ConfigStore.h"
#include "support/ConnectorError.h"

#include <QLabel>
#include <QTest>

#include <algorithm>
#include <map>

namespace pellum::test {

std::vector<std::pair<std::string, std::function<QObject *()>>> &registeredTests() {
  static std::vector<std::pair<std::string, std::function<QObject *()>>> tests;
  return tests;
}

namespace {

// "add slug --name name --url url" or "add slug --name name --env names -- command args…".
LocalServer serviceFromAdd(const std::vector<std::string> &arguments) {
  LocalServer service(arguments.at(1), arguments.at(3), "http");
  if (arguments.at(4) == "--url") {
    service.url = arguments.at(5);
  } else {
    service.type = "stdio";
    service.command = arguments.at(7);
    service.args = std::vector<std::string>(arguments.begin() + 8, arguments.end());
  }
  return service;
}

} // namespace

UiTestRegistration::UiTestRegistration(const char *name, std::function<QObject *()> make) {
  registeredTests().emplace_back(name, std::move(make));
}

UiFixture::UiFixture(std::vector<LocalServer> services)
    : dataHome_("XDG_DATA_HOME", (root.path() / "data").string()) {
  // The model's configuration directory under its home, as before any start-up decision.
  ConfigStore store(root.path() / ".pellum");
  store.prepare();
  DeviceConfig device = sampleDevice();
  device.servers = std::move(services);
  store.save(device);

  PellumModel::Dependencies deps;
  deps.home = root.path();
  deps.environment = [](const std::string &) { return std::optional<std::string>(); };
  deps.origin = "https://pellum.test";
  deps.helper = root.path() / "PellumConnector";
  deps.cookieFile = root.path() / "cookies";
  deps.openURL = [](const QUrl &) { return true; };
  deps.status = [](const ConfigStore &, const std::filesystem::path &) {
    return std::string("Connector: state = running\n");
  };
  deps.startsAtLogin = [](const ConfigStore &, const std::filesystem::path &) { return false; };
  deps.isRevoked = [](const DeviceConfig &) { return false; };
  deps.execute = [this](const ConfigStore &store, const std::filesystem::path &,
                        const std::vector<std::string> &arguments,
                        const std::optional<std::string> &input) {
    std::optional<std::string> failure;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({arguments, input});
      failure = failure_;
    }
    if (failure)
      throw ConnectorError(*failure, 400);
    DeviceConfig device = store.load();
    if (arguments.at(0) == "add")
      device.servers.push_back(serviceFromAdd(arguments));
    if (arguments.at(0) == "remove")
      std::erase_if(device.servers,
                    [&](const LocalServer &s) { return s.slug == arguments.at(1); });
    store.save(device);
    return std::string("Done.");
  };
  model_ = std::make_unique<PellumModel>(std::move(deps));
  model_->setPhase(FirstRunPhase::ready);
  model_->setPairedName(QStringLiteral("Desk"));
  model_->refreshLocalServices();
}

UiFixture::~UiFixture() {
  closeTopLevels();
  model_.reset();
}

std::vector<Call> UiFixture::calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

void UiFixture::setFailure(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(message);
}

bool UiFixture::waitIdle() {
  return QTest::qWaitFor([this] { return !model_->busy(); }, 10000);
}

LocalServer httpService(const std::string &slug, const std::string &name, const std::string &url) {
  LocalServer service(slug, name, "http");
  service.url = url;
  return service;
}

LocalServer stdioService(const std::string &slug, const std::string &name,
                         const std::string &command) {
  LocalServer service(slug, name, "stdio");
  service.command = command;
  service.args = std::vector<std::string>{};
  return service;
}

QAbstractButton *findButton(QWidget *root, const QString &text) {
  for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
    if (button->text() == text && button->isVisibleTo(root->window()))
      return button;
  return nullptr;
}

QStringList buttonTexts(QWidget *root) {
  std::vector<std::pair<QPoint, QString>> found;
  for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
    if (button->isVisibleTo(root->window()) && !button->text().isEmpty())
      found.emplace_back(button->mapTo(root->window(), QPoint()), button->text());
  std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
    return a.first.y() != b.first.y() ? a.first.y() < b.first.y() : a.first.x() < b.first.x();
  });
  QStringList texts;
  for (const auto &[where, text] : found)
    texts.append(text);
  return texts;
}

bool showsText(QWidget *root, const QString &text) { return findLabel(root, text) != nullptr; }

QLabel *findLabel(QWidget *root, const QString &text) {
  for (QLabel *label : root->findChildren<QLabel *>())
    if (label->text() == text && label->isVisibleTo(root->window()))
      return label;
  return nullptr;
}

bool inCaptionStyle(const QLabel *label) {
  return label && label->font() == fontFor(TextStyle::caption);
}

void closeTopLevels() {
  for (QWidget *widget : QApplication::topLevelWidgets())
    if (widget->isVisible())
      widget->hide();
  QApplication::processEvents();
}

} // namespace pellum::test
