#pragma once

#include "LocalApp.h"
#include "PellumSheet.h"

class QLineEdit;

namespace pellum {

// The setup sheet of a catalog app: confirms its local MCP address and adds it as a local HTTP
// service under the app's id. GUI thread only.
class LocalAppSetup : public PellumSheet {
  Q_OBJECT
public:
  LocalAppSetup(PellumModel &model, LocalApp app, QWidget *parent);

  const LocalApp &app() const { return app_; }
  void add();

private:
  LocalApp app_;
  QLineEdit *endpoint_;
};

} // namespace pellum
