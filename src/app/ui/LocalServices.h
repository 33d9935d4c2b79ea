#pragma once

#include "config/LocalServer.h"

#include <QScrollArea>

#include <optional>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QVBoxLayout;

namespace pellum {

class BusyIndicator;
class LocalServiceCatalog;
class PellumModel;

// The main screen of a paired computer: the local services with their actions, the connector's
// maintenance menu, the catalog, the busy line and the last command's result. Every change is
// one management command through the model. GUI thread only.
class LocalServices : public QScrollArea {
  Q_OBJECT
public:
  explicit LocalServices(PellumModel &model, QWidget *parent = nullptr);

  QMenu *utilities() const { return utilities_; }
  LocalServiceCatalog *catalog() const { return catalog_; }

  void addManually();
  void editHeaders(const LocalServer &service);
  // Asks before removing; the dialog's "Remove service" runs the command.
  void confirmRemoval(const LocalServer &service);

protected:
  void showEvent(QShowEvent *event) override;

private:
  void rebuildServices();
  void followBusy();
  void followOutput();
  void followLoginStartup();
  QWidget *makeRow(const LocalServer &service);

  PellumModel &model_;
  QWidget *column_;
  QVBoxLayout *servicesSlot_;
  QWidget *services_ = nullptr;
  LocalServiceCatalog *catalog_;
  BusyIndicator *busy_;
  QLabel *output_;
  QMenu *utilities_;
  QAction *startAtLogin_;
};

} // namespace pellum
