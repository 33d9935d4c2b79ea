#include "WindowHost.h"

#include "PellumModel.h"
#include "PellumWindow.h"
#include "PellumWindowActivation.h"

#include <QTimer>

namespace pellum {

WindowHost::WindowHost(PellumModel &model, QObject *parent) : QObject(parent), model_(model) {
  connect(&model_, &PellumModel::showRequested, this, &WindowHost::show);
  connect(&model_, &PellumModel::windowFloatingChanged, this, [this](bool floating) {
    if (window_)
      window_->setFloating(floating);
  });
}

WindowHost::~WindowHost() { delete window_; }

void WindowHost::setInTaskbar(bool listed) {
  inTaskbar_ = listed;
  if (window_)
    window_->setInTaskbar(listed);
}

void WindowHost::show() {
  if (!window_) {
    window_ = new PellumWindow(model_);
    window_->setFloating(model_.windowFloating());
    window_->setInTaskbar(inTaskbar_);
    window_->centre();
  }
  if (window_->isMinimized())
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  window_->show();
  // On the next turn, once the window is mapped: bring it, or the sheet open on it, forward.
  QTimer::singleShot(0, window_, [window = window_] {
    if (window)
      PellumWindowActivation::focus(window);
  });
}

} // namespace pellum
