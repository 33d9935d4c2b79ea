#include "LocalServices.h"
#include "HTTPHeadersSetup.h"
#include "LocalServiceCatalog.h"
#include "ManualServiceSetup.h"
#include "PellumTheme.h"
#include "PellumWindow.h"
#include "UiFixture.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QTest>

using namespace pellum;
using namespace pellum::test;

namespace {

std::vector<LocalServer> twoServices() {
  return {httpService("docs", "Docs", "http://127.0.0.1:8100/mcp"),
          stdioService("files", "Files", "/usr/bin/files-mcp")};
}

// Whether any pixel of `widget` as drawn has exactly `colour`.
bool drawsColour(QWidget *widget, const QColor &colour) {
  const QImage image = widget->grab().toImage();
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixelColor(x, y).rgb() == colour.rgb())
        return true;
  return false;
}

// An action's text as the menu shows it: a single "&" marks a shortcut and is not drawn, "&&"
// is drawn as "&".
QString shownText(const QAction *action) {
  QString shown;
  const QString text = action->text();
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && ++i == text.size())
      break;
    shown.append(text[i]);
  }
  return shown;
}

QAction *menuAction(QMenu *menu, const QString &text) {
  for (QAction *action : menu->actions())
    if (shownText(action) == text)
      return action;
  return nullptr;
}

} // namespace

class LocalServicesTest : public QObject {
  Q_OBJECT

private slots:
  void listsEveryServiceInStoredOrder() {
    UiFixture fixture(twoServices());
    PellumWindow window(fixture.model());
    window.show();
    QVERIFY(window.showsReady());
    QWidget *docs = window.findChild<QWidget *>(QStringLiteral("service-docs"));
    QWidget *files = window.findChild<QWidget *>(QStringLiteral("service-files"));
    QVERIFY(docs && files);
    QVERIFY(docs->mapTo(&window, QPoint()).y() < files->mapTo(&window, QPoint()).y());
    QVERIFY(showsText(docs, QStringLiteral("http://127.0.0.1:8100/mcp")));
    QVERIFY(showsText(files, QStringLiteral("/usr/bin/files-mcp")));
    QVERIFY(!showsText(&window, QStringLiteral("No local services added yet.")));
    QVERIFY(showsText(&window, QStringLiteral("Desk")));
    fixture.model().setConnectorStatus(QStringLiteral("Connector: running"));
    QVERIFY(showsText(&window, QStringLiteral("Connector: running")));
  }

  void editHeadersOnlyForHTTPServices() {
    UiFixture fixture(twoServices());
    LocalServices screen(fixture.model());
    screen.show();
    QWidget *docs = screen.findChild<QWidget *>(QStringLiteral("service-docs"));
    QWidget *files = screen.findChild<QWidget *>(QStringLiteral("service-files"));
    QCOMPARE(buttonTexts(docs), (QStringList{"Edit headers…", "Remove"}));
    QCOMPARE(buttonTexts(files), (QStringList{"Remove"}));
  }

  void emptyListSaysSoAndShowsTheCatalog() {
    UiFixture fixture;
    LocalServices screen(fixture.model());
    screen.show();
    QVERIFY(showsText(&screen, QStringLiteral("No local services added yet.")));
    QVERIFY(screen.catalog()->isVisibleTo(&screen));
  }

  void everythingIsDisabledWhileBusy() {
    UiFixture fixture(twoServices());
    LocalServices screen(fixture.model());
    screen.show();
    QCoreApplication::processEvents(); // the catalog's cards are shown on the next turn
    QVERIFY(!showsText(&screen, QStringLiteral("Updating connector…")));
    fixture.model().setBusy(true);
    QVERIFY(showsText(&screen, QStringLiteral("Updating connector…")));
    for (const char *text :
         {"Add manually", "Utilities", "Edit headers…", "Remove", "Learn more"}) {
      QAbstractButton *button = findButton(&screen, text);
      QVERIFY2(button && !button->isEnabled(), text);
    }
    fixture.model().setBusy(false);
    QVERIFY(findButton(&screen, QStringLiteral("Add manually"))->isEnabled());
  }

  // The coloured buttons lose their colour while disabled, like every other button.
  void colouredButtonsLookDisabledWhileBusy() {
    if (qApp->styleSheet().isEmpty())
      PellumTheme::install();
    UiFixture fixture(twoServices());
    LocalServices screen(fixture.model());
    screen.resize(900, 700);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));
    const PellumTheme::Colors &colours = PellumTheme::current();
    QAbstractButton *add = findButton(&screen, QStringLiteral("Add manually"));
    QAbstractButton *remove = findButton(&screen, QStringLiteral("Remove"));
    QVERIFY(drawsColour(add, colours.accentText));
    QVERIFY(drawsColour(remove, colours.danger));
    fixture.model().setBusy(true);
    QVERIFY(!drawsColour(add, colours.accentText));
    QVERIFY(!drawsColour(remove, colours.danger));
    QVERIFY(drawsColour(add, colours.muted));
  }

  void utilitiesMenuShowsItsItemsInOrder() {
    UiFixture fixture;
    LocalServices screen(fixture.model());
    QStringList shown;
    for (QAction *action : screen.utilities()->actions())
      shown.append(action->isSeparator() ? QStringLiteral("-") : shownText(action));
    QCOMPARE(shown, (QStringList{"Start connector at login", "Restart connector",
                                 "Stop & remove connector", "-", "Update Cloudflare connector"}));
  }

  void utilitiesRunTheirCommands_data() {
    QTest::addColumn<QString>("item");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("install") << "Start connector at login" << QStringList{"service", "install"};
    QTest::newRow("restart") << "Restart connector" << QStringList{"service", "restart"};
    QTest::newRow("uninstall") << "Stop & remove connector" << QStringList{"service", "uninstall"};
    QTest::newRow("update") << "Update Cloudflare connector"
                            << QStringList{"cloudflared", "update"};
  }

  void utilitiesRunTheirCommands() {
    QFETCH(QString, item);
    QFETCH(QStringList, arguments);
    UiFixture fixture;
    LocalServices screen(fixture.model());
    screen.show();
    menuAction(screen.utilities(), item)->trigger();
    QVERIFY(fixture.waitIdle());
    std::vector<std::string> expected;
    for (const QString &argument : arguments)
      expected.push_back(argument.toStdString());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{expected, std::nullopt}}));
    QCOMPARE(fixture.model().output(), QStringLiteral("Done."));
    QVERIFY(showsText(&screen, QStringLiteral("Done.")));
  }

  void startAtLoginIsDisabledWhileRegisteredOrChecking() {
    UiFixture fixture;
    LocalServices screen(fixture.model());
    QAction *start = menuAction(screen.utilities(), QStringLiteral("Start connector at login"));
    QVERIFY(start->isEnabled());
    fixture.model().setConnectorStartsAtLogin(true);
    QVERIFY(!start->isEnabled());
    fixture.model().setConnectorStartsAtLogin(false);
    fixture.model().setCheckingLoginStartup(true);
    QVERIFY(!start->isEnabled());
    fixture.model().setCheckingLoginStartup(false);
    QVERIFY(start->isEnabled());
  }

  void removalAsksThenRemovesAndTheCatalogEntryReturns() {
    UiFixture fixture({httpService("notara", "Notara", "http://localhost:3000/mcp"),
                       httpService("pirrel", "Pirrel", "http://localhost:3002/mcp")});
    PellumWindow window(fixture.model());
    window.show();
    LocalServices *screen = window.localServices();
    QVERIFY(!screen->catalog()->isVisibleTo(screen));

    QWidget *row = screen->findChild<QWidget *>(QStringLiteral("service-notara"));
    QTest::mouseClick(findButton(row, QStringLiteral("Remove")), Qt::LeftButton);
    QMessageBox *confirm = nullptr;
    QTRY_VERIFY((confirm = topLevel<QMessageBox>()));
    QCOMPARE(confirm->text(), QStringLiteral("Remove Notara from this Mac and Pellum?"));
    QVERIFY(fixture.calls().empty());
    QTest::mouseClick(findButton(confirm, QStringLiteral("Remove service")), Qt::LeftButton);
    QVERIFY(fixture.waitIdle());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{{"remove", "notara"}, std::nullopt}}));
    QTRY_VERIFY(!screen->findChild<QWidget *>(QStringLiteral("service-notara")));
    QVERIFY(screen->catalog()->isVisibleTo(screen));
    QCOMPARE(screen->catalog()->matches().size(), size_t(1));
    QCOMPARE(screen->catalog()->matches().front().id, QStringLiteral("notara"));
  }

  void dismissingTheRemovalDoesNothing() {
    UiFixture fixture(twoServices());
    PellumWindow window(fixture.model());
    window.show();
    QWidget *row = window.findChild<QWidget *>(QStringLiteral("service-files"));
    QTest::mouseClick(findButton(row, QStringLiteral("Remove")), Qt::LeftButton);
    QMessageBox *confirm = nullptr;
    QTRY_VERIFY((confirm = topLevel<QMessageBox>()));
    confirm->reject();
    QTest::qWait(50);
    QVERIFY(fixture.calls().empty());
  }

  void sheetsOpenWindowModalWithFocus() {
    UiFixture fixture;
    PellumWindow window(fixture.model());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(findButton(&window, QStringLiteral("Add manually")), Qt::LeftButton);
    ManualServiceSetup *sheet = nullptr;
    QTRY_VERIFY((sheet = topLevel<ManualServiceSetup>()));
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QCOMPARE(sheet->parentWidget(), &window);
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(sheet));
    QTRY_VERIFY(QApplication::focusWidget() &&
                QApplication::focusWidget()->accessibleName() == QStringLiteral("Service name"));
  }
};

PELLUM_UI_TEST(LocalServicesTest);

#include "LocalServicesTest.moc"
