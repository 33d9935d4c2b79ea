#include "BrandAssets.h"
#include "Paths.h"
#include "PellumApp.h"
#include "PellumTheme.h"
#include "PellumTray.h"
#include "PellumWindow.h"
#include "SingleInstance.h"
#include "TaskbarPresence.h"
#include "UiFixture.h"
#include "WindowHost.h"

#include <QAction>
#include <QFrame>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

using namespace pellum;
using namespace pellum::test;

namespace {

QPalette paletteWithWindow(const QColor &window) {
  QPalette palette = QApplication::palette();
  palette.setColor(QPalette::Window, window);
  return palette;
}

QStringList visibleActions(QMenu *menu) {
  QStringList texts;
  for (QAction *action : menu->actions())
    if (action->isVisible())
      texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
  return texts;
}

} // namespace

class ShellTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { PellumTheme::install(); }

  void themeValues() {
    QCOMPARE(PellumTheme::light().background, QColor(0xFF, 0xF8, 0xF0));
    QCOMPARE(PellumTheme::dark().background, QColor(0x21, 0x1C, 0x18));
    QCOMPARE(PellumTheme::dark().accent, PellumTheme::light().accent);
    QCOMPARE(PellumTheme::dark().danger, QColor(0xFF, 0x99, 0x85));
    QCOMPARE(PellumTheme::prominentText(), QColor(15, 15, 15));
  }

  void paletteChangeRecoloursOpenWindowsAtOnce() {
    const QPalette original = QApplication::palette();
    UiFixture fixture;
    PellumWindow window(fixture.model());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto footerColour = [&] {
      QWidget *footer = nullptr;
      for (QFrame *frame : window.findChildren<QFrame *>())
        if (frame->property("role").toString() == QStringLiteral("footer"))
          footer = frame;
      return footer->grab().toImage().pixelColor(2, 2);
    };
    QApplication::setPalette(paletteWithWindow(Qt::white));
    QVERIFY(!PellumTheme::isDark());
    QTRY_COMPARE(footerColour(), PellumTheme::light().subtle);
    QApplication::setPalette(paletteWithWindow(QColor(30, 30, 30)));
    QVERIFY(PellumTheme::isDark());
    QTRY_COMPARE(footerColour(), PellumTheme::dark().subtle);
    QTRY_COMPARE(window.grab().toImage().pixelColor(window.width() - 3, window.height() / 2),
                 PellumTheme::dark().background);
    QApplication::setPalette(original);
  }

  void windowHasItsSizeTitleAndStaysOnTop() {
    UiFixture fixture;
    WindowHost host(fixture.model());
    fixture.model().setPhase(FirstRunPhase::loginRequired);
    fixture.model().show();
    QTRY_VERIFY(host.window() && host.window()->isVisible());
    PellumWindow *window = host.window();
    QCOMPARE(window->windowTitle(), QStringLiteral("Pellum"));
    QCOMPARE(window->size(), QSize(1150, 820));
    QCOMPARE(window->minimumSize(), QSize(800, 600));
    QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!window->showsReady());
    // A second show keeps the same window; closing only hides it.
    window->close();
    fixture.model().show();
    QTRY_VERIFY(window->isVisible());
    QCOMPARE(host.window(), window);
    fixture.model().setPhase(FirstRunPhase::ready);
    QVERIFY(window->showsReady());
  }

  void trayMenuOffersDashboardOnlyWhenReady() {
    UiFixture fixture;
    fixture.model().setPhase(FirstRunPhase::loginRequired);
    PellumTray tray(fixture.model());
    QCOMPARE(tray.icon()->toolTip(), QStringLiteral("Pellum"));
    QVERIFY(!tray.icon()->icon().isNull());
    QCOMPARE(visibleActions(tray.menu()), (QStringList{"Open Pellum…", "-", "Quit Pellum"}));
    fixture.model().setPhase(FirstRunPhase::ready);
    QCOMPARE(visibleActions(tray.menu()),
             (QStringList{"Open Pellum…", "-", "Dashboard", "-", "Quit Pellum"}));
    fixture.model().setPhase(FirstRunPhase::loginRequired);
    QCOMPARE(visibleActions(tray.menu()), (QStringList{"Open Pellum…", "-", "Quit Pellum"}));
  }

  // The browser, a launcher or the user starts the app again: the running one comes forward and
  // the second launch exits, with or without a sign-in callback.
  void laterLaunchBringsTheWindowForward() {
    UiFixture fixture;
    const std::filesystem::path runtime = fixture.root.path() / "run";
    std::filesystem::create_directories(runtime);
    SingleInstance instance(runtime / "pellum.socket");
    QVERIFY(instance.listen());
    PellumApp app(fixture.model(), instance);

    auto launch = [&](const QStringList &arguments) {
      QProcess second;
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.string()));
      second.setProcessEnvironment(environment);
      second.start(QString::fromStdString((test::binDir() / "pellum_handoff").string()), arguments);
      if (!QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 10000))
        return -1;
      return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    };

    // Never shown yet: the window is made.
    QCOMPARE(launch({}), 0);
    QTRY_VERIFY(app.host().window() && app.host().window()->isVisible());
    PellumWindow *window = app.host().window();
    // Closed to the tray, then minimised: each time it comes back.
    window->close();
    QVERIFY(!window->isVisible());
    QCOMPARE(launch({}), 0);
    QTRY_VERIFY(window->isVisible());
    window->showMinimized();
    QTRY_VERIFY(window->isMinimized());
    QCOMPARE(launch({}), 0);
    QTRY_VERIFY(!window->isMinimized());
    QCOMPARE(app.host().window(), window);
    // A launch that carries a URL hands it over as well; without a sign-in running it changes
    // nothing.
    window->close();
    const FirstRunPhase phase = fixture.model().phase();
    QCOMPARE(launch({QStringLiteral("pellum://signin?state=x&code=y")}), 0);
    QTRY_VERIFY(window->isVisible());
    QCOMPARE(fixture.model().phase(), phase);
  }

  // Where a tray exists the window stays out of the taskbar, as a menu-bar app stays out of the
  // Dock; the offscreen platform has no tray, so there the window is the app's presence.
  void withoutATrayTheWindowIsListedAndClosingQuits() {
    UiFixture fixture;
    SingleInstance instance(fixture.root.path() / "pellum.socket");
    const bool quitOnClose = QApplication::quitOnLastWindowClosed();
    PellumApp app(fixture.model(), instance);
    app.start(std::nullopt);
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    QCOMPARE(QApplication::quitOnLastWindowClosed(), !hasTray);
    QApplication::setQuitOnLastWindowClosed(quitOnClose);
    if (hasTray)
      fixture.model().show();
    QTRY_VERIFY(app.host().window() && app.host().window()->isVisible());
    QCOMPARE(app.host().window()->inTaskbar(), !hasTray);
    if (const std::optional<bool> listed = TaskbarPresence::listed(app.host().window()))
      QCOMPARE(*listed, !hasTray);
    app.host().setInTaskbar(false);
    QVERIFY(!app.host().window()->inTaskbar());
    if (const std::optional<bool> listed = TaskbarPresence::listed(app.host().window()))
      QVERIFY(!*listed);
  }

  void brandSymbolFallsBackToTheApplicationIcon() {
    QVERIFY(!BrandAssets::symbol().isNull());
    QCOMPARE(BrandAssets::menuBarSymbol().availableSizes().value(0), QSize(22, 22));
    const QIcon before = QApplication::windowIcon();
    QApplication::setWindowIcon(QIcon());
    QVERIFY(BrandAssets::loadSymbol(QStringLiteral(":/missing.png")).isNull());
    QPixmap appIcon(32, 32);
    appIcon.fill(Qt::blue);
    QApplication::setWindowIcon(QIcon(appIcon));
    QVERIFY(!BrandAssets::loadSymbol(QStringLiteral(":/missing.png")).isNull());
    QApplication::setWindowIcon(before);
  }
};

PELLUM_UI_TEST(ShellTest);

#include "ShellTest.moc"
