#pragma once

#include "PellumTray.h"
#include "WindowHost.h"

#include <QObject>
#include <QUrl>

#include <optional>

namespace pellum {

class PellumModel;
class SingleInstance;

// The running app over its model: the window host, the tray icon, and what later launches hand
// over. A later launch with a "pellum:" URL delivers it to the model; every later launch, with
// or without one, brings the window forward. GUI thread only.
//
//   PellumApp app(model, instance);
//   app.start(SingleInstance::callbackArgument(arguments));
class PellumApp : public QObject {
  Q_OBJECT
public:
  PellumApp(PellumModel &model, SingleInstance &instance, QObject *parent = nullptr);

  WindowHost &host() { return host_; }
  PellumTray &tray() { return tray_; }

  // Shows the tray icon and decides the start-up phase. Where a tray exists the app lives in it
  // and its window stays out of the taskbar; where none does, the window is the app's only
  // presence: it is shown at once, listed in the taskbar, and closing it quits. `callback` is
  // the "pellum:" URL this launch was started with.
  void start(const std::optional<QUrl> &callback);

private:
  PellumModel &model_;
  WindowHost host_;
  PellumTray tray_;
};

} // namespace pellum
