#include "PellumWindowActivation.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

namespace pellum {

namespace {

// The visible window-modal dialog whose parent window is `window`, if any; the newest one wins.
QWidget *openSheet(QWidget *window) {
  const QList<QDialog *> dialogs = window->findChildren<QDialog *>(Qt::FindDirectChildrenOnly);
  for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it)
    if ((*it)->isVisible() && (*it)->isWindow())
      return openSheet(*it);
  return window;
}

} // namespace

void PellumWindowActivation::focus(QWidget *widget) {
  QWidget *window = widget ? widget->window() : nullptr;
  if (!window)
    window = QApplication::activeModalWidget();
  if (!window)
    return;
  // A sheet's parent window comes forward first so that the sheet is seen above it.
  QWidget *owner = window;
  while (owner->parentWidget())
    owner = owner->parentWidget()->window();
  if (owner->isMinimized())
    owner->setWindowState(owner->windowState() & ~Qt::WindowMinimized);
  owner->raise();
  QWidget *target = openSheet(window);
  target->raise();
  target->activateWindow();
}

} // namespace pellum
