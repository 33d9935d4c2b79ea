#pragma once

#include "PellumSheet.h"

#include <string>
#include <vector>

class QLineEdit;
class QPushButton;
class QScrollArea;
class QWidget;

namespace pellum {

class HeaderFields;

// The "Add manually" sheet: adds a local HTTP endpoint with headers, or a command run over
// standard input and output. GUI thread only.
class ManualServiceSetup : public PellumSheet {
  Q_OBJECT
public:
  ManualServiceSetup(PellumModel &model, QWidget *parent);

  // The arguments text of a command as a list of strings; throws ConnectorError with the
  // sheet's message unless it is a JSON array of strings.
  static std::vector<std::string> decodeArguments(const QString &text);

  void setStdio(bool stdio);
  void add();

private:
  void updateAddEnabled();
  void resizeHeaderArea();

  QPushButton *httpChoice_;
  QPushButton *stdioChoice_;
  QLineEdit *name_;
  QLineEdit *slug_;
  QLineEdit *url_;
  QLineEdit *command_;
  QLineEdit *arguments_;
  QLineEdit *envNames_;
  QWidget *httpFields_;
  QWidget *stdioFields_;
  HeaderFields *headers_;
  QScrollArea *headerArea_;
  QPushButton *addButton_;
  bool stdio_ = false;
};

} // namespace pellum
