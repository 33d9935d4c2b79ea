#pragma once

#include <QMenu>
#include <QObject>

class QAction;
class QSystemTrayIcon;

namespace pellum {

class PellumModel;

// The tray icon that stands for the app: the brand symbol, the tooltip "Pellum", and the menu
// "Open Pellum…", "Dashboard" (in ready only) and "Quit Pellum". GUI thread only.
class PellumTray : public QObject {
  Q_OBJECT
public:
  explicit PellumTray(PellumModel &model, QObject *parent = nullptr);
  ~PellumTray() override;

  QMenu *menu() { return &menu_; }
  QSystemTrayIcon *icon() const { return icon_; }
  // Shows the icon where the platform has a tray; false where it has none.
  bool show();

private:
  void followPhase();

  PellumModel &model_;
  QMenu menu_;
  QAction *dashboardSeparator_;
  QAction *dashboard_;
  QSystemTrayIcon *icon_;
};

} // namespace pellum
