#pragma once

#include <QDialog>

#include <optional>
#include <string>
#include <vector>

class QHBoxLayout;
class QLabel;
class QVBoxLayout;

namespace pellum {

class BusyIndicator;
class PellumModel;

// Draws the 1-point edge of a sheet or dialog in the border colour, so that it stands apart from
// the window it covers (both share the background colour). Call from its paint event.
void paintSheetEdge(QWidget *sheet);

// The common frame of the app's sheets: a window-modal dialog over the app window, a column of
// content (`content()`), the error line and the progress line, and the button row (`buttons()`).
// It takes keyboard focus as it opens, is disabled and cannot be dismissed while the model is
// busy, and closes when `finish` reports success. GUI thread only.
class PellumSheet : public QDialog {
  Q_OBJECT
public:
  PellumSheet(PellumModel &model, QWidget *parent, int width, const QString &progressLabel);

  QString error() const;
  void setError(const QString &error);

  // Escape, the close button and "Cancel": refused while the model is busy.
  void reject() override;

protected:
  QVBoxLayout *content() const { return content_; }
  QHBoxLayout *buttons() const { return buttons_; }
  PellumModel &model() const { return model_; }

  // Runs a management command for this sheet: closes on success, else shows the model's output
  // as the error.
  void runCommand(std::vector<std::string> arguments, std::optional<std::string> input);

  void showEvent(QShowEvent *event) override;
  void paintEvent(QPaintEvent *event) override;

private:
  void followBusy();

  PellumModel &model_;
  QWidget *body_;
  QVBoxLayout *content_;
  QLabel *error_;
  BusyIndicator *progress_;
  QHBoxLayout *buttons_;
};

} // namespace pellum
