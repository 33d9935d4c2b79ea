#include "PellumSheet.h"

#include "PellumModel.h"
#include "PellumTheme.h"
#include "PellumWindowActivation.h"
#include "UiParts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

namespace pellum {

void paintSheetEdge(QWidget *sheet) {
  QPainter painter(sheet);
  painter.setPen(PellumTheme::border());
  painter.drawRect(sheet->rect().adjusted(0, 0, -1, -1));
}

PellumSheet::PellumSheet(PellumModel &model, QWidget *parent, int width,
                         const QString &progressLabel)
    : QDialog(parent), model_(model), body_(new QWidget(this)), content_(new QVBoxLayout),
      error_(makeLabel(QString(), TextStyle::body, "danger", true)),
      progress_(new BusyIndicator(progressLabel)), buttons_(new QHBoxLayout) {
  setWindowModality(Qt::WindowModal);
  setAttribute(Qt::WA_DeleteOnClose);

  // The sheet always takes the height its content asks for, so that an error or progress line
  // that appears pushes the buttons down instead of squeezing the fields.
  auto *outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSizeConstraint(QLayout::SetFixedSize);
  outer->addWidget(body_);
  body_->setFixedWidth(width);
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

void PellumSheet::paintEvent(QPaintEvent *event) {
  QDialog::paintEvent(event);
  paintSheetEdge(this);
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
