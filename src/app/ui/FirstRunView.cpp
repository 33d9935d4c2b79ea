#include "FirstRunView.h"

#include "BrandAssets.h"
#include "PellumModel.h"
#include "UiParts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pellum {

namespace {

QLabel *title(const QString &text) { return makeLabel(text, TextStyle::largeTitle); }

} // namespace

FirstRunView::FirstRunView(PellumModel &model, QWidget *parent)
    : QWidget(parent), model_(model), column_(new QWidget), blockSlot_(new QVBoxLayout),
      message_(makeLabel(QString(), TextStyle::body, "danger", true)),
      quit_(makeButton(QStringLiteral("Quit"))) {
  setObjectName(QStringLiteral("FirstRunView"));

  auto *symbol = new QLabel;
  symbol->setFixedSize(64, 64);
  symbol->setPixmap(BrandAssets::symbol().scaled(64 * devicePixelRatio(), 64 * devicePixelRatio(),
                                                 Qt::KeepAspectRatio, Qt::SmoothTransformation));
  symbol->setScaledContents(true);
  symbol->setAccessibleName(QStringLiteral("Pellum"));

  column_->setMaximumWidth(kColumnWidth);
  auto *stack = new QVBoxLayout(column_);
  stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  stack->setSpacing(22);
  stack->addWidget(symbol, 0, Qt::AlignLeft);
  blockSlot_->setContentsMargins(0, 0, 0, 0);
  stack->addLayout(blockSlot_);
  stack->addWidget(message_);
  stack->addWidget(quit_, 0, Qt::AlignLeft);
  connect(quit_, &QPushButton::clicked, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

  // Centred in the window; the column keeps its content left-aligned within its width.
  auto *outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addStretch(1);
  auto *middle = new QHBoxLayout;
  middle->addStretch(1);
  middle->addWidget(column_, 100);
  middle->addStretch(1);
  outer->addLayout(middle);
  outer->addStretch(1);

  connect(&model_, &PellumModel::phaseChanged, this, &FirstRunView::rebuildBlock);
  connect(&model_, &PellumModel::busyChanged, this, &FirstRunView::rebuildBlock);
  connect(&model_, &PellumModel::pairedNameChanged, this, &FirstRunView::rebuildBlock);
  connect(&model_, &PellumModel::pairingAccountChanged, this, &FirstRunView::rebuildBlock);
  connect(&model_, &PellumModel::messageChanged, this, &FirstRunView::updateMessage);
  rebuildBlock();
  updateMessage();
}

void FirstRunView::updateMessage() {
  const QString message = model_.message();
  message_->setText(message);
  message_->setVisible(!message.isEmpty());
}

void FirstRunView::rebuildBlock() {
  if (block_) {
    blockSlot_->removeWidget(block_);
    block_->deleteLater();
  }
  block_ = makeBlock();
  blockSlot_->addWidget(block_);
  quit_->setVisible(model_.phase() != FirstRunPhase::conversionOffer);
}

QWidget *FirstRunView::makeBlock() {
  auto *block = new QWidget;
  auto *layout = new QVBoxLayout(block);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(22);
  auto addButton = [&](const QString &text, bool prominent, auto action) {
    QPushButton *button = makeButton(text, prominent);
    connect(button, &QPushButton::clicked, this, action);
    return button;
  };

  switch (model_.phase()) {
  case FirstRunPhase::conversionOffer: {
    layout->addWidget(title(QStringLiteral("Use Pellum for Mac instead of the CLI?")));
    layout->addWidget(
        makeLabel(QStringLiteral("Your CLI is already paired as “") + model_.pairedName() +
                  QStringLiteral("”. Convert it to the Mac app and stop the CLI? "
                                 "Your existing pairing and services will be kept.")));
    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(addButton(QStringLiteral("No, keep using the CLI"), false, [this] {
      if (model_.phase() != FirstRunPhase::conversionOffer)
        return;
      // Declining changes nothing on disk: the command-line pairing stays as it is.
      model_.setPhase(FirstRunPhase::declined);
      QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }));
    row->addWidget(
        addButton(QStringLiteral("Convert to Mac app"), true, [this] { model_.convertCLI(); }));
    row->addStretch(1);
    layout->addLayout(row);
    break;
  }
  case FirstRunPhase::loginRequired:
    layout->addWidget(title(QStringLiteral("Welcome to Pellum")));
    layout->addWidget(makeLabel(QStringLiteral("Sign in to continue. We’ll automatically pair this "
                                               "Mac with your account and start its connector.")));
    layout->addWidget(
        addButton(QStringLiteral("Sign in to set up this Mac"), true, [this] { model_.signIn(); }),
        0, Qt::AlignLeft);
    break;
  case FirstRunPhase::signingIn:
    layout->addWidget(new BusyIndicator(QStringLiteral("Complete sign-in in your browser…")));
    // The browser may have been closed without an answer; the user needs a way back.
    layout->addWidget(
        addButton(QStringLiteral("Cancel sign-in"), false, [this] { model_.cancelSignIn(); }), 0,
        Qt::AlignLeft);
    break;
  case FirstRunPhase::converting:
    layout->addWidget(new BusyIndicator(QStringLiteral("Converting your existing pairing…")));
    layout->addWidget(makeLabel(
        QStringLiteral("Preparing the connector, stopping the CLI, and starting Pellum for Mac.")));
    break;
  case FirstRunPhase::pairing:
    layout->addWidget(title(QStringLiteral("Setting up this Mac")));
    if (model_.busy()) {
      const QString account = model_.pairingAccount();
      layout->addWidget(new BusyIndicator(
          account.isEmpty() ? QStringLiteral("Preparing your connector…")
                            : QStringLiteral("Pairing with ") + account + QStringLiteral("…")));
    } else {
      layout->addWidget(
          addButton(QStringLiteral("Retry setup"), true, [this] { model_.retryPairing(); }), 0,
          Qt::AlignLeft);
    }
    break;
  case FirstRunPhase::blocked:
    layout->addWidget(title(QStringLiteral("Your existing setup needs attention")));
    layout->addWidget(
        makeLabel(QStringLiteral("Setup stopped to protect the existing pairing. Quit, "
                                 "resolve the issue below, and reopen the app.")));
    break;
  case FirstRunPhase::checking:
  case FirstRunPhase::declined:
  case FirstRunPhase::ready:
    layout->addWidget(new BusyIndicator(QStringLiteral("Checking this Mac…")));
    break;
  }
  return block;
}

} // namespace pellum
