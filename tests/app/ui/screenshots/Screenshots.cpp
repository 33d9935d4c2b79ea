// Takes pictures of the app's real windows for people to look at: every scene in the light and
// the dark appearance. Run it under an X server (scripts/screenshots starts Xvfb); it forces the
// application palette to pick the appearance, which the app itself never does.
//
//   pellum_screenshots OUTPUT_DIRECTORY

#include "HTTPHeadersSetup.h"
#include "LocalApp.h"
#include "LocalAppSetup.h"
#include "LocalServiceCatalog.h"
#include "LocalServices.h"
#include "ManualServiceSetup.h"
#include "PellumTheme.h"
#include "PellumWindow.h"
#include "UiFixture.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

#include <cstdio>
#include <functional>

using namespace pellum;
using namespace pellum::test;

namespace {

QPalette appearance(bool dark) {
  QPalette palette = QStyleFactory::create(QStringLiteral("Fusion"))->standardPalette();
  if (dark) {
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::ButtonText, Qt::white);
  }
  return palette;
}

// The screen area of `window` and of whatever lies on it (an open sheet), as the X server shows it.
bool capture(QWidget *window, const QString &file) {
  QTest::qWait(400);
  QApplication::processEvents();
  const QRect area = window->frameGeometry();
  const QPixmap shot =
      window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  if (shot.isNull() || !shot.save(file)) {
    std::fprintf(stderr, "Could not save %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

void installApp(UiFixture &fixture, const QString &bundleID) {
  const QString directory =
      QString::fromStdString((fixture.root.path() / "data" / "applications").string());
  QDir().mkpath(directory);
  QFile entry(directory + QStringLiteral("/") + bundleID + QStringLiteral(".desktop"));
  if (entry.open(QIODevice::WriteOnly))
    entry.write("[Desktop Entry]\nType=Application\nName=App\nExec=/bin/true\n");
}

using Scene = std::function<void(UiFixture &, PellumWindow &)>;

void setField(QWidget *root, const QString &name, const QString &text) {
  for (QLineEdit *field : root->findChildren<QLineEdit *>())
    if (field->accessibleName() == name)
      field->setText(text);
}

void click(QWidget *root, const QString &text) {
  for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
    if (button->text() == text && button->isVisible()) {
      button->click();
      return;
    }
}

// Opens the "Add manually" sheet as a click would; null if it did not open.
ManualServiceSetup *openManualSheet(PellumWindow &window) {
  window.localServices()->addManually();
  QTest::qWait(200);
  return window.findChild<ManualServiceSetup *>();
}

bool shoot(const QString &file, std::vector<LocalServer> services, const Scene &prepare,
           const Scene &afterShow = {}) {
  UiFixture fixture(std::move(services));
  PellumWindow window(fixture.model());
  prepare(fixture, window);
  window.setFloating(false);
  window.move(40, 40);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window))
    return false;
  if (afterShow)
    afterShow(fixture, window);
  return capture(&window, file);
}

} // namespace

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: pellum_screenshots OUTPUT_DIRECTORY\n");
    return 2;
  }
  const QString output = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(output);
  PellumTheme::install();

  const std::vector<LocalServer> services{
      httpService("docs", "Team docs", "http://127.0.0.1:8100/mcp"),
      stdioService("files", "Project files", "/usr/local/bin/files-mcp")};
  bool ok = true;
  for (const bool dark : {false, true}) {
    QApplication::setPalette(appearance(dark));
    const QString prefix = output + (dark ? QStringLiteral("/dark-") : QStringLiteral("/light-"));
    ok &= shoot(prefix + "login-required.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::loginRequired);
    });
    ok &= shoot(prefix + "pairing-failed.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::pairing);
      fixture.model().setMessage(
          QStringLiteral("Sign-in must complete before setup can continue."));
    });
    ok &= shoot(prefix + "checking.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::checking);
    });
    ok &= shoot(prefix + "conversion-offer.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::conversionOffer);
      fixture.model().setPairedName(QStringLiteral("Studio workstation"));
      fixture.model().setMessage(QStringLiteral("The CLI's launch agent could not be stopped."));
    });
    ok &= shoot(prefix + "signing-in.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::signingIn);
    });
    ok &= shoot(prefix + "pairing.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::pairing);
      fixture.model().setBusy(true);
      fixture.model().setPairingAccount(QStringLiteral("person@example.com"));
    });
    ok &= shoot(prefix + "converting.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::converting);
      fixture.model().setBusy(true);
    });
    ok &= shoot(prefix + "blocked.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setPhase(FirstRunPhase::blocked);
      fixture.model().setMessage(QStringLiteral(
          "Existing setup could not be read. Nothing was changed. config.json: the value of "
          "\"port\" must be an integer between 1024 and 65535, and the record names a service "
          "endpoint that is not an https origin: http://example.com/some/very/long/path/that/"
          "keeps/going/without/any/spaces/at/all/to/see/how/it/wraps"));
    });
    ok &= shoot(prefix + "ready-empty-busy.png", {}, [](UiFixture &fixture, PellumWindow &) {
      fixture.model().setConnectorStatus(QStringLiteral("Connector: not running"));
      fixture.model().setMessage(
          QStringLiteral("This Mac is already paired. Manage your account on the website."));
      fixture.model().setOutput(QStringLiteral("Working…"));
      fixture.model().setBusy(true);
    });
    ok &= shoot(prefix + "ready.png", services, [](UiFixture &fixture, PellumWindow &) {
      installApp(fixture, QStringLiteral("com.vexhall.notara"));
      fixture.model().setConnectorStatus(QStringLiteral("Connector: running"));
      fixture.model().setOutput(QStringLiteral("Added Team docs (docs)."));
    });
    ok &= shoot(
        prefix + "manual-sheet.png", services,
        [](UiFixture &fixture, PellumWindow &) {
          fixture.model().setConnectorStatus(QStringLiteral("Connector: running"));
        },
        [](UiFixture &, PellumWindow &window) {
          ManualServiceSetup *sheet = openManualSheet(window);
          if (!sheet)
            return;
          setField(sheet, QStringLiteral("Service name"), QStringLiteral("Team docs"));
          setField(sheet, QStringLiteral("Namespace (e.g. my-tools)"), QStringLiteral("docs"));
          click(sheet, QStringLiteral("Add header"));
          QTest::qWait(100);
          setField(sheet, QStringLiteral("Key"), QStringLiteral("Authorization"));
          setField(sheet, QStringLiteral("Value"), QStringLiteral("Bearer local-token"));
        });
    ok &= shoot(
        prefix + "manual-sheet-stdio.png", services, [](UiFixture &, PellumWindow &) {},
        [](UiFixture &, PellumWindow &window) {
          ManualServiceSetup *sheet = openManualSheet(window);
          if (!sheet)
            return;
          click(sheet, QStringLiteral("Command / stdio"));
          setField(sheet, QStringLiteral("Service name"), QStringLiteral("Project files"));
          setField(sheet, QStringLiteral("Namespace (e.g. my-tools)"), QStringLiteral("files"));
          setField(sheet, QStringLiteral("Executable (absolute path recommended)"),
                   QStringLiteral("/usr/local/bin/files-mcp"));
          setField(sheet, QStringLiteral("Arguments as a JSON array"),
                   QStringLiteral("--port 3000"));
          click(sheet, QStringLiteral("Add service"));
        });
    ok &= shoot(
        prefix + "headers-sheet.png", services, [](UiFixture &, PellumWindow &) {},
        [](UiFixture &, PellumWindow &window) {
          LocalServer service = httpService("docs", "Team docs", "http://127.0.0.1:8100/mcp");
          service.headers =
              HeaderMap{{"authorization", "Bearer local-token"}, {"x-workspace", "notes"}};
          service.authorizationEnv = "DOCS_TOKEN";
          window.localServices()->editHeaders(service);
          QTest::qWait(200);
          auto *sheet = window.findChild<HTTPHeadersSetup *>();
          if (!sheet)
            return;
          click(sheet, QStringLiteral("Add header"));
          QTest::qWait(50);
          const QList<QLineEdit *> values = sheet->findChildren<QLineEdit *>();
          for (QLineEdit *field : values)
            if (field->accessibleName() == QStringLiteral("Value") && field->text().isEmpty())
              field->setText(QStringLiteral("orphan value"));
          click(sheet, QStringLiteral("Save"));
        });
    ok &= shoot(
        prefix + "catalog-sheet.png", {},
        [](UiFixture &fixture, PellumWindow &) {
          installApp(fixture, QStringLiteral("com.vexhall.tavio"));
        },
        [](UiFixture &, PellumWindow &window) {
          for (const LocalApp &entry : LocalApp::catalog())
            if (entry.id == QStringLiteral("pirrel"))
              window.localServices()->catalog()->select(entry);
          QTest::qWait(200);
          auto *sheet = window.findChild<LocalAppSetup *>();
          if (!sheet)
            return;
          if (auto *address = sheet->findChild<QLineEdit *>())
            address->setText(QStringLiteral("http://example.com:3002/mcp"));
          click(sheet, QStringLiteral("Add Pirrel"));
        });
    ok &= shoot(
        prefix + "utilities-menu.png", services,
        [](UiFixture &fixture, PellumWindow &) {
          fixture.model().setConnectorStatus(QStringLiteral("Connector: running"));
        },
        [](UiFixture &fixture, PellumWindow &window) {
          fixture.model().setConnectorStartsAtLogin(true);
          for (QAbstractButton *button : window.findChildren<QAbstractButton *>())
            if (button->text() == QStringLiteral("Utilities")) {
              // Right-aligned with the button, so that the picture of the window holds it.
              QMenu *menu = window.localServices()->utilities();
              menu->popup(button->mapToGlobal(
                  QPoint(button->width() - menu->sizeHint().width(), button->height())));
            }
        });
    ok &= shoot(
        prefix + "remove-confirmation.png", services, [](UiFixture &, PellumWindow &) {},
        [](UiFixture &fixture, PellumWindow &window) {
          window.localServices()->confirmRemoval(fixture.model().configuredServices().front());
        });
  }
  return ok ? 0 : 1;
}
