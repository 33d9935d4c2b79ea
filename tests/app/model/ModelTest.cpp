#include "PellumModel.h"

#include <QtTest>

class ModelTest : public QObject {
  Q_OBJECT

private slots:
  void statusLine();
};

void ModelTest::statusLine() {
  QCOMPARE(pellum::PellumModel::statusLine("\n\n"), QStringLiteral("Status unavailable"));
}

QTEST_GUILESS_MAIN(ModelTest)
#include "ModelTest.moc"
