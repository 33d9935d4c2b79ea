// The desktop app: a tray icon and one window over the app model. One instance runs per user; a
// later launch hands its "pellum:" URL (the browser's sign-in callback) to it, brings its window
// forward and exits.

#include "BrandAssets.h"
#include "DesktopEntry.h"
#include "PellumApp.h"
#include "PellumModel.h"
#include "PellumTheme.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <filesystem>

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pellum"));
  QApplication::setApplicationVersion(QStringLiteral("0.2.0"));
  // The installed launcher entry, so that desktops match the window to it.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.zendrel.pellum.app"));

  const std::optional<QUrl> callback = pellum::SingleInstance::callbackArgument(app.arguments());
  pellum::SingleInstance instance;
  if (!instance.listen())
    return pellum::SingleInstance::handOff(callback) ? 0 : 1;

  QApplication::setWindowIcon(QIcon(pellum::BrandAssets::symbol()));
  pellum::PellumTheme::install();

  pellum::PellumModel model;
  pellum::PellumApp shell(model, instance);

  // The browser hands the sign-in callback to whatever is registered for "pellum:" URLs.
  try {
    const std::filesystem::path executable = QCoreApplication::applicationFilePath().toStdString();
    const char *home = std::getenv("HOME");
    if (home && *home)
      pellum::DesktopEntry::install(executable, home);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "Pellum: %s\n", error.what());
  }

  shell.start(callback);
  return app.exec();
}
