// A later launch of the app, as the browser starts it with a "pellum:" URL: when an instance
// already runs, it hands the URL over and exits 0 (1 if the hand-over failed); when none runs,
// it exits 2 at once instead of becoming the app.
#include "SingleInstance.h"

#include <QCoreApplication>

int main(int argc, char **argv) {
  QCoreApplication application(argc, argv);
  pellum::SingleInstance instance;
  if (instance.listen()) {
    return 2;
  }
  return pellum::SingleInstance::handOff(
             pellum::SingleInstance::callbackArgument(application.arguments()))
             ? 0
             : 1;
}
