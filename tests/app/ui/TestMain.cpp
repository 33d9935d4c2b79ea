// Runs every Qt Test class registered with PELLUM_UI_TEST in one program.

#include "UiFixture.h"

#include <QTest>

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  int failures = 0;
  for (const auto &[name, make] : pellum::test::registeredTests()) {
    std::unique_ptr<QObject> test(make());
    failures += QTest::qExec(test.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
