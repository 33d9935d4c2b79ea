#include "HTTPHeadersSetup.h"
#include "HeaderFields.h"
#include "HeaderRow.h"
#include "ManualServiceSetup.h"
#include "UiFixture.h"
#include "UiParts.h"

#include "support/ConnectorError.h"

#include <QLineEdit>
#include <QPointer>
#include <QScrollArea>
#include <QTest>

using namespace pellum;
using namespace pellum::test;

Q_DECLARE_METATYPE(std::vector<pellum::HeaderRow>)

namespace {

const QString kArgumentsError = QStringLiteral(
    "Arguments must be a JSON array of strings, for example [\"--port\", \"3000\"].");

QLineEdit *field(QWidget *root, const QString &name, int index = 0) {
  int seen = 0;
  for (QLineEdit *edit : root->findChildren<QLineEdit *>())
    if (edit->accessibleName() == name && seen++ == index)
      return edit;
  return nullptr;
}

void type(QLineEdit *edit, const QString &text) {
  edit->clear();
  QTest::keyClicks(edit, text);
}

HeaderRow row(const QString &key, const QString &value) {
  return {QUuid::createUuid(), key, value};
}

// The manual sheet over a window, filled with a name and a namespace.
struct ManualSheet {
  explicit ManualSheet(UiFixture &fixture)
      : sheet(new ManualServiceSetup(fixture.model(), &window)) {
    window.show();
    sheet->open();
    type(field(sheet, "Service name"), "Tools");
    type(field(sheet, "Namespace (e.g. my-tools)"), "tools");
  }
  void add() { QTest::mouseClick(findButton(sheet, "Add service"), Qt::LeftButton); }

  QWidget window;
  // The sheet deletes itself once closed.
  QPointer<ManualServiceSetup> sheet;
};

} // namespace

class SheetsTest : public QObject {
  Q_OBJECT

private slots:
  void headerRowsBecomeJSON_data() {
    QTest::addColumn<std::vector<HeaderRow>>("rows");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("error");
    QTest::newRow("none") << std::vector<HeaderRow>{} << "{}" << QString();
    QTest::newRow("only empty rows")
        << std::vector<HeaderRow>{row("", ""), row(" \t", "")} << "{}" << QString();
    QTest::newRow("trimmed, lower case, value as typed")
        << std::vector<HeaderRow>{row(" \tX-Api-Key  ", " Secret Value"), row("", "")}
        << R"({"x-api-key":" Secret Value"})" << QString();
    QTest::newRow("value without key") << std::vector<HeaderRow>{row("  ", "abc")} << QString()
                                       << "Enter a key for every header value.";
    QTest::newRow("duplicate ignoring case and blanks")
        << std::vector<HeaderRow>{row("Authorization", "a"), row(" authorization\t", "b")}
        << QString() << "Each header key must be unique.";
  }

  void headerRowsBecomeJSON() {
    QFETCH(std::vector<HeaderRow>, rows);
    QFETCH(QString, json);
    QFETCH(QString, error);
    try {
      QCOMPARE(QString::fromStdString(HeaderRow::headersJSON(rows)), json);
      QVERIFY(error.isEmpty());
    } catch (const ConnectorError &refusal) {
      QCOMPARE(QString::fromStdString(refusal.message), error);
    }
  }

  void headerRulesOfTheServiceApply() {
    // A name the header rules refuse is reported with their own message.
    try {
      HeaderRow::headersJSON({row("host", "x")});
      QFAIL("a reserved header name was accepted");
    } catch (const ConnectorError &refusal) {
      QVERIFY(!refusal.message.empty());
    }
  }

  void manualHTTPServiceSendsItsHeaders() {
    UiFixture fixture;
    ManualSheet manual(fixture);
    QTest::mouseClick(findButton(manual.sheet, "Add header"), Qt::LeftButton);
    QTest::mouseClick(findButton(manual.sheet, "Add header"), Qt::LeftButton);
    type(field(manual.sheet, "Key"), "  X-Team\t");
    type(field(manual.sheet, "Value"), "Blue Whale");
    manual.add();
    QVERIFY(fixture.waitIdle());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{{"add", "tools", "--name", "Tools", "--url",
                                                   "http://localhost:3000/mcp", "--headers-input"},
                                                  R"({"x-team":"Blue Whale"})"}}));
    QTRY_VERIFY(!manual.sheet || !manual.sheet->isVisible());
  }

  void manualSheetRefusesBadHeadersAndRunsNothing_data() {
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("error");
    QTest::newRow("duplicate") << QStringList{"Auth", "auth"} << "Each header key must be unique.";
    QTest::newRow("value without key") << QStringList{""} << "Enter a key for every header value.";
  }

  void manualSheetRefusesBadHeadersAndRunsNothing() {
    QFETCH(QStringList, keys);
    QFETCH(QString, error);
    UiFixture fixture;
    ManualSheet manual(fixture);
    for (int index = 0; index < keys.size(); ++index) {
      QTest::mouseClick(findButton(manual.sheet, "Add header"), Qt::LeftButton);
      type(field(manual.sheet, "Key", index), keys[index]);
      type(field(manual.sheet, "Value", index), "v");
    }
    manual.add();
    QCOMPARE(manual.sheet->error(), error);
    QVERIFY(showsText(manual.sheet, error));
    QVERIFY(fixture.calls().empty());
    QVERIFY(manual.sheet->isVisible());
  }

  void manualStdioPassesArgumentsSeparately_data() {
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("tail");
    QTest::newRow("default") << "[]" << QStringList{};
    QTest::newRow("two") << R"(["--port","3000"])" << QStringList{"--port", "3000"};
  }

  void manualStdioPassesArgumentsSeparately() {
    QFETCH(QString, arguments);
    QFETCH(QStringList, tail);
    UiFixture fixture;
    ManualSheet manual(fixture);
    QTest::mouseClick(findButton(manual.sheet, "Command / stdio"), Qt::LeftButton);
    type(field(manual.sheet, "Executable (absolute path recommended)"), "/usr/bin/tool");
    type(field(manual.sheet, "Arguments as a JSON array"), arguments);
    type(field(manual.sheet, "Environment variable names, comma separated"), "TOKEN, OTHER");
    QVERIFY(inCaptionStyle(findLabel(manual.sheet, "Commands run with your Mac account's "
                                                   "permissions. Review the executable and "
                                                   "arguments before adding.")));
    manual.add();
    QVERIFY(fixture.waitIdle());
    std::vector<std::string> expected{"add",   "tools",        "--name", "Tools",
                                      "--env", "TOKEN, OTHER", "--",     "/usr/bin/tool"};
    for (const QString &argument : tail)
      expected.push_back(argument.toStdString());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{expected, std::nullopt}}));
  }

  void argumentsMustBeAJSONArrayOfStrings_data() {
    QTest::addColumn<QString>("arguments");
    for (const char *text : {"--port 3000", R"(["--port", 3000])", R"({"a":"b"})", "", R"("x")"})
      QTest::newRow(text) << QString::fromUtf8(text);
  }

  void argumentsMustBeAJSONArrayOfStrings() {
    QFETCH(QString, arguments);
    UiFixture fixture;
    ManualSheet manual(fixture);
    QTest::mouseClick(findButton(manual.sheet, "Command / stdio"), Qt::LeftButton);
    type(field(manual.sheet, "Executable (absolute path recommended)"), "/usr/bin/tool");
    type(field(manual.sheet, "Arguments as a JSON array"), arguments);
    manual.add();
    QCOMPARE(manual.sheet->error(), kArgumentsError);
    QVERIFY(fixture.calls().empty());
  }

  void addNeedsNameAndNamespace() {
    UiFixture fixture;
    QWidget window;
    auto *sheet = new ManualServiceSetup(fixture.model(), &window);
    window.show();
    sheet->open();
    QAbstractButton *add = findButton(sheet, "Add service");
    QVERIFY(!add->isEnabled());
    type(field(sheet, "Service name"), "Tools");
    QVERIFY(!add->isEnabled());
    type(field(sheet, "Namespace (e.g. my-tools)"), "tools");
    QVERIFY(add->isEnabled());
  }

  void headerAreaGrowsBy36UpTo180AndRowsStopAt32() {
    UiFixture fixture;
    ManualSheet manual(fixture);
    auto *area = manual.sheet->findChild<QScrollArea *>();
    QCOMPARE(area->height(), 36);
    QAbstractButton *addHeader = findButton(manual.sheet, "Add header");
    const int expected[] = {72, 108, 144, 180, 180};
    for (int height : expected) {
      QTest::mouseClick(addHeader, Qt::LeftButton);
      QCOMPARE(area->height(), height);
    }
    auto *fields = manual.sheet->findChild<HeaderFields *>();
    while (fields->rows().size() < 31)
      fields->addRow();
    QVERIFY(addHeader->isEnabled());
    fields->addRow();
    QCOMPARE(fields->rows().size(), size_t(32));
    QVERIFY(!addHeader->isEnabled());
    fields->removeRow(fields->rows().front().id);
    QVERIFY(addHeader->isEnabled());
  }

  void removingARowRemovesThatRow() {
    HeaderFields fields({row("a", "1"), row("b", "2"), row("c", "3")});
    fields.show();
    QList<QAbstractButton *> removes;
    for (QAbstractButton *button : fields.findChildren<QAbstractButton *>())
      if (button->accessibleName() == QStringLiteral("Remove header"))
        removes.append(button);
    QCOMPARE(removes.size(), 3);
    QTest::mouseClick(removes[1], Qt::LeftButton);
    QTRY_COMPARE(fields.rows().size(), size_t(2));
    QCOMPARE(fields.rows()[0].key, QStringLiteral("a"));
    QCOMPARE(fields.rows()[1].key, QStringLiteral("c"));
  }

  void headersSheetStartsSortedAndRemoveAllSendsEmptyObject() {
    LocalServer service = httpService("docs", "Docs", "http://127.0.0.1:8100/mcp");
    service.headers = HeaderMap{{"x-b", "2"}, {"authorization", "Bearer t"}, {"x-a", "1"}};
    UiFixture fixture({service});
    QWidget window;
    auto *sheet = new HTTPHeadersSetup(fixture.model(), service, &window);
    window.show();
    sheet->open();
    QVERIFY(showsText(sheet, "HTTP headers for Docs"));
    QStringList keys;
    for (const HeaderRow &r : sheet->fields()->rows())
      keys.append(r.key);
    QCOMPARE(keys, (QStringList{"authorization", "x-a", "x-b"}));
    QVERIFY(!showsText(sheet, "Saving replaces this service’s existing environment-based "
                              "authentication with the headers entered here."));
    QAbstractButton *removeAll = findButton(sheet, "Remove all");
    QTest::mouseClick(removeAll, Qt::LeftButton);
    QVERIFY(sheet->fields()->rows().empty());
    QVERIFY(!removeAll->isEnabled());
    QTest::mouseClick(findButton(sheet, "Save"), Qt::LeftButton);
    QVERIFY(fixture.waitIdle());
    QCOMPARE(fixture.calls(), (std::vector<Call>{{{"headers", "docs", "--headers-input"}, "{}"}}));
  }

  void headersSheetWithoutHeadersStartsWithOneEmptyRowAndWarnsOfEnvironmentAuth() {
    LocalServer service = httpService("docs", "Docs", "http://127.0.0.1:8100/mcp");
    service.authorizationEnv = "DOCS_TOKEN";
    UiFixture fixture({service});
    QWidget window;
    auto *sheet = new HTTPHeadersSetup(fixture.model(), service, &window);
    window.show();
    sheet->open();
    QCOMPARE(sheet->fields()->rows().size(), size_t(1));
    QVERIFY(sheet->fields()->rows().front().key.isEmpty());
    QVERIFY(inCaptionStyle(findLabel(sheet, "Saving replaces this service’s existing "
                                            "environment-based authentication with the "
                                            "headers entered here.")));
  }

  // Typed text reads the same in every field of every sheet.
  void textFieldsUseTheBodyFont() {
    UiFixture fixture;
    ManualSheet manual(fixture);
    QTest::mouseClick(findButton(manual.sheet, "Add header"), Qt::LeftButton);
    QWidget window;
    auto *headers = new HTTPHeadersSetup(
        fixture.model(), httpService("docs", "Docs", "http://127.0.0.1:8100/mcp"), &window);
    for (QWidget *sheet : {static_cast<QWidget *>(manual.sheet), static_cast<QWidget *>(headers)})
      for (QLineEdit *edit : sheet->findChildren<QLineEdit *>())
        QVERIFY2(edit->font() == fontFor(TextStyle::body), qPrintable(edit->accessibleName()));
    delete headers;
  }

  void failedCommandKeepsTheSheetOpenWithItsMessage() {
    UiFixture fixture;
    fixture.setFailure("Namespace is already used by another service.");
    ManualSheet manual(fixture);
    manual.add();
    QVERIFY(fixture.waitIdle());
    QCOMPARE(fixture.calls().size(), size_t(1));
    QTRY_COMPARE(manual.sheet->error(),
                 QStringLiteral("Namespace is already used by another service."));
    QVERIFY(manual.sheet->isVisible());
    QCOMPARE(fixture.model().output(), manual.sheet->error());
  }

  void busySheetIsDisabledAndCannotBeDismissed() {
    UiFixture fixture;
    ManualSheet manual(fixture);
    fixture.model().setBusy(true);
    QVERIFY(showsText(manual.sheet, "Adding service…"));
    QVERIFY(!findButton(manual.sheet, "Cancel")->isEnabled());
    manual.sheet->reject();
    QVERIFY(manual.sheet->isVisible());
    fixture.model().setBusy(false);
    manual.sheet->reject();
    QTRY_VERIFY(!manual.sheet || !manual.sheet->isVisible());
  }
};

PELLUM_UI_TEST(SheetsTest);

#include "SheetsTest.moc"
