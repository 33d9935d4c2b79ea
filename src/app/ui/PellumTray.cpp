#include "PellumTray.h"

#include "BrandAssets.h"
#include "PellumModel.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QSystemTrayIcon>

namespace pellum {

PellumTray::PellumTray(PellumModel &model, QObject *parent)
    : QObject(parent), model_(model), icon_(new QSystemTrayIcon(this)) {
  menu_.addAction(QStringLiteral("Open Pellum…"), this, [this] { model_.show(); });
  dashboardSeparator_ = menu_.addSeparator();
  dashboard_ = menu_.addAction(QStringLiteral("Dashboard"), this,
                               [this] { QDesktopServices::openUrl(model_.originURL("/app")); });
  menu_.addSeparator();
  menu_.addAction(QStringLiteral("Quit Pellum"), qApp, &QCoreApplication::quit,
                  Qt::QueuedConnection);

  icon_->setIcon(BrandAssets::menuBarSymbol());
  icon_->setToolTip(QStringLiteral("Pellum"));
  icon_->setContextMenu(&menu_);
  // A plain click opens the window as well, where the tray tells clicks from menu requests.
  connect(icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
              model_.show();
          });
  connect(&model_, &PellumModel::phaseChanged, this, &PellumTray::followPhase);
  followPhase();
}

PellumTray::~PellumTray() { icon_->setContextMenu(nullptr); }

bool PellumTray::show() {
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return false;
  icon_->show();
  return true;
}

void PellumTray::followPhase() {
  const bool ready = model_.phase() == FirstRunPhase::ready;
  dashboardSeparator_->setVisible(ready);
  dashboard_->setVisible(ready);
}

} // namespace pellum
