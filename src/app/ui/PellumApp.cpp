#include "PellumApp.h"

#include "PellumModel.h"
#include "SingleInstance.h"

#include <QApplication>

namespace pellum {

PellumApp::PellumApp(PellumModel &model, SingleInstance &instance, QObject *parent)
    : QObject(parent), model_(model), host_(model), tray_(model) {
  connect(&instance, &SingleInstance::urlReceived, &model_, &PellumModel::handleCallbackURL);
  // Starting the app again is how a user asks for it when its tray icon is out of sight.
  connect(&instance, &SingleInstance::activated, &model_, &PellumModel::show);
}

void PellumApp::start(const std::optional<QUrl> &callback) {
  const bool hasTray = tray_.show();
  host_.setInTaskbar(!hasTray);
  // Without a tray nothing could bring a closed window back: closing it ends the app.
  QApplication::setQuitOnLastWindowClosed(!hasTray);
  model_.beginSetup();
  if (!hasTray)
    model_.show();
  if (callback)
    model_.handleCallbackURL(*callback);
}

} // namespace pellum
