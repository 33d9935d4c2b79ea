#include "PellumSheet.h"

#include "PellumModel.h"
#include "PellumWindowActivation.h"
#include "UiParts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

namespace pellum {

PellumSheet::PellumSheet(PellumModel &model, QWidget *parent, int width,
                         const QString &progressLabel)
    : QDialog(parent), model_(model), body_(new QWidget(this)), content_(new QVBoxLayout),
      error_(makeLabel(QString(), TextStyle::body, "danger", true)),
      progress_(new BusyIndicator(progressLabel)), buttons_(new QHBoxLayout) {
  setWindowModality(Qt::WindowModal);
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedWidth(width);

  auto *outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(body_);
  auto *column = new QVBoxLayout(body_);
  column->setContentsMargins(28, 28, 28, 28);
  column->setSpacing(18);
  content_->setContentsMargins(0, 0, 0, 0);
  content_->setSpacing(18);
  column->addLayout(content_);
  column->addWidget(error_);
  column->addWidget(progress_);
  buttons_->setSpacing(10);
  column->addLayout(buttons_);
  column->addStretch(1);

  connect(&model_, &PellumModel::busyChanged, this, &PellumSheet::followBusy);
  setError(QString());
  followBusy();
}

QString PellumSheet::error() const { return error_->text(); }

void PellumSheet::setError(const QString &error) {
  error_->setText(error);
  error_->setVisible(!error.isEmpty());
}

void PellumSheet::followBusy() {
  const bool busy = model_.busy();
  body_->setEnabled(!busy);
  progress_->setVisible(busy);
}

void PellumSheet::runCommand(std::vector<std::string> arguments, std::optional<std::string> input) {
  setError(QString());
  QPointer<PellumSheet> self(this);
  model_.run(std::move(arguments), std::move(input), [self](bool succeeded) {
    if (!self)
      return;
    if (succeeded)
      self->accept();
    else
      self->setError(self->model_.output());
  });
}

void PellumSheet::reject() {
  // Escape and the close button do nothing while a command runs.
  if (model_.busy())
    return;
  QDialog::reject();
}

void PellumSheet::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  // After the platform has mapped the sheet: give it keyboard focus even if another application
  // is active.
  QPointer<PellumSheet> self(this);
  QTimer::singleShot(0, this, [self] {
    if (self)
      PellumWindowActivation::focus(self);
  });
}

} // namespace pellum
