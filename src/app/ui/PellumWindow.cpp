#include "PellumWindow.h"

#include "FirstRunView.h"
#include "LocalServices.h"
#include "PellumModel.h"
#include "TaskbarPresence.h"
#include "UiParts.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace pellum {

PellumWindow::PellumWindow(PellumModel &model, QWidget *parent)
    : QWidget(parent), model_(model), pages_(new QStackedWidget),
      firstRun_(new FirstRunView(model)) {
  setObjectName(QStringLiteral("PellumWindow"));
  setWindowTitle(QStringLiteral("Pellum"));
  setAttribute(Qt::WA_StyledBackground);
  setMinimumSize(kMinimumSize);
  resize(kSize);
  setFloating(true);

  ready_ = makeReady();
  pages_->addWidget(firstRun_);
  pages_->addWidget(ready_);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pages_);

  connect(&model_, &PellumModel::phaseChanged, this, &PellumWindow::followPhase);
  followPhase();
}

bool PellumWindow::showsReady() const { return pages_->currentWidget() == ready_; }

void PellumWindow::setFloating(bool floating) {
  if (testAttribute(Qt::WA_WState_Created) &&
      windowFlags().testFlag(Qt::WindowStaysOnTopHint) == floating)
    return;
  const bool visible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, floating);
  // Changing window flags hides a shown window; show it again where it was.
  if (visible)
    show();
}

void PellumWindow::centre() {
  const QScreen *screen = this->screen();
  if (!screen)
    return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

void PellumWindow::setInTaskbar(bool listed) {
  inTaskbar_ = listed;
  if (testAttribute(Qt::WA_WState_Created))
    TaskbarPresence::apply(this, listed);
}

void PellumWindow::showEvent(QShowEvent *event) {
  // Sent before the window is mapped: the window manager may drop the state of a window that
  // was hidden, so it is set again on every show.
  TaskbarPresence::apply(this, inTaskbar_);
  QWidget::showEvent(event);
}

void PellumWindow::closeEvent(QCloseEvent *event) {
  QWidget::closeEvent(event);
  model_.windowClosed();
}

void PellumWindow::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange)
    return;
  const bool wasMinimized =
      static_cast<QWindowStateChangeEvent *>(event)->oldState().testFlag(Qt::WindowMinimized);
  if (isMinimized() && !wasMinimized)
    model_.windowMinimized();
  else if (!isMinimized() && wasMinimized)
    model_.windowRestored();
}

void PellumWindow::followPhase() {
  pages_->setCurrentWidget(model_.phase() == FirstRunPhase::ready ? ready_ : firstRun_);
}

QWidget *PellumWindow::makeReady() {
  auto *page = new QWidget;
  auto *stack = new QVBoxLayout(page);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(0);

  auto *header = new QFrame;
  header->setProperty("role", QStringLiteral("header"));
  auto *headerRow = new QHBoxLayout(header);
  headerRow->setContentsMargins(12, 12, 12, 12);
  auto *dashboard = makeButton(QStringLiteral("Dashboard"));
  setRole(dashboard, "link");
  connect(dashboard, &QPushButton::clicked, this,
          [this] { QDesktopServices::openUrl(model_.originURL("/app")); });
  headerRow->addWidget(dashboard);
  headerRow->addStretch(1);
  deviceName_ = makeLabel(QString(), TextStyle::body, "muted");
  deviceName_->setWordWrap(false);
  // The name is never cut: the flexible space gives way first.
  deviceName_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
  headerRow->addWidget(deviceName_);
  stack->addWidget(header);

  message_ = makeLabel(QString(), TextStyle::body, "danger", true);
  message_->setContentsMargins(8, 8, 8, 8);
  stack->addWidget(message_);

  localServices_ = new LocalServices(model_);
  stack->addWidget(localServices_, 1);

  auto *rule = new QFrame;
  rule->setFixedHeight(1);
  rule->setProperty("role", QStringLiteral("rule"));
  stack->addWidget(rule);

  auto *footer = new QFrame;
  footer->setProperty("role", QStringLiteral("footer"));
  auto *footerRow = new QHBoxLayout(footer);
  footerRow->setContentsMargins(16, 10, 16, 10);
  status_ = makeLabel(QString(), TextStyle::caption, "muted", true);
  footerRow->addWidget(status_, 1);
  stack->addWidget(footer);

  auto followName = [this] { deviceName_->setText(model_.pairedName()); };
  auto followMessage = [this] {
    const QString message = model_.message();
    message_->setText(message);
    message_->setVisible(!message.isEmpty());
  };
  auto followStatus = [this] { status_->setText(model_.connectorStatus()); };
  connect(&model_, &PellumModel::pairedNameChanged, this, followName);
  connect(&model_, &PellumModel::messageChanged, this, followMessage);
  connect(&model_, &PellumModel::connectorStatusChanged, this, followStatus);
  followName();
  followMessage();
  followStatus();
  return page;
}

} // namespace pellum
