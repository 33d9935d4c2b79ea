// Takes pictures of the app's real windows for people to look at: every scene in the light and
// the dark appearance. Run it under an X server (scripts/screenshots starts Xvfb); it forces the
// application palette to pick the appearance, which the app itself never does.
//
//   pellum_screenshots OUTPUT_DIRECTORY

#include "LocalServices.h"
#include "ManualServiceSetup.h"
#include "PellumTheme.h"
#include "PellumWindow.h"
#include "UiFixture.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
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
          window.localServices()->addManually();
          QTest::qWait(200);
          auto *sheet = window.findChild<ManualServiceSetup *>();
          if (!sheet)
            return;
          const QList<QLineEdit *> fields = sheet->findChildren<QLineEdit *>();
          for (QLineEdit *field : fields) {
            if (field->accessibleName() == QStringLiteral("Service name"))
              field->setText(QStringLiteral("Team docs"));
            if (field->accessibleName() == QStringLiteral("Namespace (e.g. my-tools)"))
              field->setText(QStringLiteral("docs"));
          }
          for (QAbstractButton *button : sheet->findChildren<QAbstractButton *>())
            if (button->text() == QStringLiteral("Add header"))
              button->click();
          QTest::qWait(100);
          for (QLineEdit *field : sheet->findChildren<QLineEdit *>()) {
            if (field->accessibleName() == QStringLiteral("Key"))
              field->setText(QStringLiteral("Authorization"));
            if (field->accessibleName() == QStringLiteral("Value"))
              field->setText(QStringLiteral("Bearer local-token"));
          }
        });
  }
  return ok ? 0 : 1;
}
