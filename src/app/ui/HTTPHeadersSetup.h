#pragma once

#include "PellumSheet.h"

#include "config/LocalServer.h"

class QPushButton;

namespace pellum {

class HeaderFields;

// The "Edit headers…" sheet of a local HTTP service: its headers as sorted rows, replaced as a
// whole on "Save". GUI thread only.
class HTTPHeadersSetup : public PellumSheet {
  Q_OBJECT
public:
  HTTPHeadersSetup(PellumModel &model, LocalServer service, QWidget *parent);

  HeaderFields *fields() const { return fields_; }
  void removeAll();
  void save();

  // True when saving replaces authentication the service takes from the environment.
  static bool hasEnvironmentAuthentication(const LocalServer &service);

private:
  LocalServer service_;
  HeaderFields *fields_;
  QPushButton *removeAll_;
};

} // namespace pellum
