#pragma once

#include <QObject>
#include <QPointer>

#include "PellumWindow.h"

namespace pellum {

class PellumModel;

// Gives the model its window: made on the first show request and kept for the life of the
// process, brought to the front (restored if minimised) on every later request, kept floating
// or lowered as the model asks. GUI thread only.
class WindowHost : public QObject {
  Q_OBJECT
public:
  explicit WindowHost(PellumModel &model, QObject *parent = nullptr);
  ~WindowHost() override;

  // The window, once made.
  PellumWindow *window() const { return window_; }

  void show();
  // Whether the window is listed in the taskbar (now, and once it is made).
  void setInTaskbar(bool listed);

private:
  PellumModel &model_;
  QPointer<PellumWindow> window_;
  bool inTaskbar_ = true;
};

} // namespace pellum
