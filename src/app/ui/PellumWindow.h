#pragma once

#include <QWidget>

class QLabel;
class QStackedWidget;

namespace pellum {

class FirstRunView;
class LocalServices;
class PellumModel;

// The app's one window: the first-run screen in every phase but ready, else the ready layout
// (header with "Dashboard" and the device name, message bar, local services, footer with the
// connector's status). Made once and kept for the life of the process; closing only hides it.
// GUI thread only.
class PellumWindow : public QWidget {
  Q_OBJECT
public:
  explicit PellumWindow(PellumModel &model, QWidget *parent = nullptr);

  static constexpr QSize kSize{1150, 820};
  static constexpr QSize kMinimumSize{800, 600};

  FirstRunView *firstRun() const { return firstRun_; }
  LocalServices *localServices() const { return localServices_; }
  bool showsReady() const;

  // Keeps the window above others ("floating"), or at the normal level while signing in.
  void setFloating(bool floating);
  // Centres the window on its screen.
  void centre();
  // Whether the window is listed in the taskbar and pager; an app that lives in the tray keeps
  // it out. Listed by default.
  void setInTaskbar(bool listed);
  bool inTaskbar() const { return inTaskbar_; }

protected:
  // Closing only hides the window; the model stops polling until it is shown again.
  void closeEvent(QCloseEvent *event) override;
  void changeEvent(QEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  QWidget *makeReady();
  void followPhase();

  PellumModel &model_;
  QStackedWidget *pages_;
  FirstRunView *firstRun_;
  LocalServices *localServices_ = nullptr;
  QWidget *ready_;
  QLabel *message_ = nullptr;
  QLabel *deviceName_ = nullptr;
  QLabel *status_ = nullptr;
  bool inTaskbar_ = true;
};

} // namespace pellum
