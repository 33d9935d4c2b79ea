#include <QCoreApplication>

int runModelTest(int argc, char **argv);
int runBrowserSessionTest(int argc, char **argv);

// The model's test classes run one after another in one program, without a window.
int main(int argc, char **argv) {
  QCoreApplication application(argc, argv);
  int status = runModelTest(argc, argv);
  status |= runBrowserSessionTest(argc, argv);
  return status;
}
