#include "LocalApp.h"
#include "LocalAppIcon.h"
#include "LocalAppSetup.h"
#include "LocalServiceCatalog.h"
#include "UiFixture.h"
#include "UiParts.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QVBoxLayout>

using namespace pellum;
using namespace pellum::test;

namespace {

// Records the pages the app asks the desktop to open.
class PageRecorder : public QObject {
  Q_OBJECT
public:
  PageRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
  ~PageRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
  QList<QUrl> opened;
public slots:
  void open(const QUrl &url) { opened.append(url); }
};

// Installs a desktop entry for `bundleID` in the fixture's XDG data directory.
void install(UiFixture &fixture, const QString &bundleID, const QString &icon = QString()) {
  const QString directory =
      QString::fromStdString((fixture.root.path() / "data" / "applications").string());
  QDir().mkpath(directory);
  QFile entry(directory + QStringLiteral("/") + bundleID + QStringLiteral(".desktop"));
  QVERIFY(entry.open(QIODevice::WriteOnly));
  entry.write("[Desktop Entry]\nType=Application\nName=App\nExec=/bin/true %U\n");
  if (!icon.isEmpty())
    entry.write(("Icon=" + icon + "\n").toUtf8());
}

// Lays the catalog out in a page wide enough for its cards, so clicks reach them.
void showInPage(QWidget &page, QWidget *catalog) {
  auto *layout = new QVBoxLayout(&page);
  layout->addWidget(catalog);
  page.resize(1000, 700);
  page.show();
}

QStringList cardIDs(LocalServiceCatalog &catalog) {
  QStringList ids;
  for (const LocalApp &app : catalog.matches())
    ids.append(app.id);
  return ids;
}

} // namespace

class CatalogTest : public QObject {
  Q_OBJECT

private slots:
  void catalogHasTwoEntriesInOrder() {
    const auto &apps = LocalApp::catalog();
    QCOMPARE(apps.size(), size_t(2));
    QCOMPARE(apps[0].id, QStringLiteral("notara"));
    QCOMPARE(apps[0].bundleID, QStringLiteral("com.vexhall.notara"));
    QCOMPARE(apps[0].endpoint, QStringLiteral("http://localhost:3000/mcp"));
    QCOMPARE(apps[0].openLabel(), QStringLiteral("Open Notara"));
    QCOMPARE(apps[1].id, QStringLiteral("pirrel"));
    QCOMPARE(apps[1].bundleID, QStringLiteral("com.vexhall.tavio"));
    QCOMPARE(apps[1].endpoint, QStringLiteral("http://localhost:3002/mcp"));
    QCOMPARE(apps[1].openLabel(), QStringLiteral("Open Tavio"));
    QCOMPARE(apps[1].learnMoreURL, QUrl(QStringLiteral("https://vexhall.com/tavio")));
  }

  void configuredNamespacesHideTheirEntries_data() {
    QTest::addColumn<QStringList>("slugs");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("none") << QStringList{} << QStringList{"notara", "pirrel"};
    QTest::newRow("notara added by hand") << QStringList{"notara"} << QStringList{"pirrel"};
    QTest::newRow("other") << QStringList{"docs"} << QStringList{"notara", "pirrel"};
    QTest::newRow("both") << QStringList{"pirrel", "notara"} << QStringList{};
  }

  void configuredNamespacesHideTheirEntries() {
    QFETCH(QStringList, slugs);
    QFETCH(QStringList, shown);
    std::vector<LocalServer> services;
    for (const QString &slug : slugs)
      services.push_back(httpService(slug.toStdString(), "Hand made", "http://127.0.0.1:9/mcp"));
    UiFixture fixture(services);
    QWidget page;
    auto *catalog = new LocalServiceCatalog(fixture.model(), &page);
    showInPage(page, catalog);
    QCOMPARE(cardIDs(*catalog), shown);
    QCOMPARE(catalog->isVisibleTo(&page), !shown.isEmpty());
    for (const QString &id : {QStringLiteral("notara"), QStringLiteral("pirrel")})
      QCOMPARE(catalog->findChild<QWidget *>("catalog-" + id) != nullptr, shown.contains(id));
  }

  void appNotInstalledOffersLearnMoreAndALetter() {
    UiFixture fixture;
    PageRecorder pages;
    QWidget page;
    auto *catalog = new LocalServiceCatalog(fixture.model(), &page);
    showInPage(page, catalog);
    QWidget *card = catalog->findChild<QWidget *>(QStringLiteral("catalog-pirrel"));
    QCOMPARE(buttonTexts(card), (QStringList{"Learn more"}));
    auto *icon = card->findChild<LocalAppIcon *>();
    QVERIFY(icon->isPlaceholder());
    QCOMPARE(icon->text(), QStringLiteral("P"));
    QCOMPARE(icon->size(), QSize(48, 48));
    QTest::mouseClick(findButton(card, "Learn more"), Qt::LeftButton);
    QCOMPARE(pages.opened, (QList<QUrl>{QUrl(QStringLiteral("https://vexhall.com/tavio"))}));
  }

  void installedAppIsSetUpWithTheTrimmedAddress() {
    UiFixture fixture;
    install(fixture, "com.vexhall.notara");
    QWidget page;
    auto *catalog = new LocalServiceCatalog(fixture.model(), &page);
    showInPage(page, catalog);
    QWidget *card = catalog->findChild<QWidget *>(QStringLiteral("catalog-notara"));
    QCOMPARE(buttonTexts(card), (QStringList{"Set up Notara"}));
    QTest::mouseClick(findButton(card, "Set up Notara"), Qt::LeftButton);
    QPointer<LocalAppSetup> sheet = topLevel<LocalAppSetup>();
    QVERIFY(sheet);
    QVERIFY(showsText(sheet, "Connect Notara"));
    QVERIFY(findButton(sheet, "Open Notara"));
    QVERIFY(inCaptionStyle(findLabel(sheet, "Use the address shown in the app’s settings.")));
    auto *address = sheet->findChild<QLineEdit *>();
    QCOMPARE(address->text(), QStringLiteral("http://localhost:3000/mcp"));
    QVERIFY(address->font() == fontFor(TextStyle::body));
    address->setText(QStringLiteral("  http://localhost:3100/mcp\n"));
    QTest::mouseClick(findButton(sheet, "Add Notara"), Qt::LeftButton);
    QVERIFY(fixture.waitIdle());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{{"add", "notara", "--name", "Notara", "--url",
                                                   "http://localhost:3100/mcp"},
                                                  std::nullopt}}));
    QTRY_VERIFY(!sheet || !sheet->isVisible());
    // The new service hides its entry.
    QCOMPARE(cardIDs(*catalog), (QStringList{"pirrel"}));
  }

  void addressRefusedByTheServiceRulesRunsNothing() {
    UiFixture fixture;
    install(fixture, "com.vexhall.tavio");
    QWidget window;
    auto *sheet = new LocalAppSetup(fixture.model(), LocalApp::catalog()[1], &window);
    window.show();
    sheet->open();
    QVERIFY(findButton(sheet, "Open Tavio"));
    sheet->findChild<QLineEdit *>()->setText(QStringLiteral("https://example.com/mcp"));
    QVERIFY(QTest::qWaitForWindowExposed(sheet));
    const int height = sheet->height();
    QTest::mouseClick(findButton(sheet, "Add Pirrel"), Qt::LeftButton);
    QVERIFY(!sheet->error().isEmpty());
    QVERIFY(fixture.calls().empty());
    // The error line makes the sheet taller; the fields keep their height.
    QTRY_VERIFY(sheet->height() > height);
    for (QLineEdit *field : sheet->findChildren<QLineEdit *>())
      QCOMPARE(field->height(), field->sizeHint().height());
  }

  void installedIconComesFromTheDesktopEntry() {
    UiFixture fixture;
    const QString iconFile = QString::fromStdString((fixture.root.path() / "notara.png").string());
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::red);
    QVERIFY(pixmap.save(iconFile));
    install(fixture, "com.vexhall.notara", iconFile);
    LocalAppIcon icon(LocalApp::catalog()[0]);
    QVERIFY(!icon.isPlaceholder());
    LocalAppIcon missing(LocalApp::catalog()[1]);
    QVERIFY(missing.isPlaceholder());
  }

  void execFieldCodesAreDropped() {
    QCOMPARE(InstalledApp::execArguments(QStringLiteral("\"/opt/No tara/notara\" --x %U 100%%")),
             (QStringList{"/opt/No tara/notara", "--x", "100%"}));
  }
};

PELLUM_UI_TEST(CatalogTest);

#include "CatalogTest.moc"
