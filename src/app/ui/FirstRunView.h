#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace pellum {

class PellumModel;

// What the window shows in every phase but ready: the brand symbol, the block of the current
// phase, the model's message and "Quit". Holds no state of its own; it follows the model and
// starts its operations. GUI thread only.
class FirstRunView : public QWidget {
  Q_OBJECT
public:
  explicit FirstRunView(PellumModel &model, QWidget *parent = nullptr);

  // Widest the column may grow, padding included.
  static constexpr int kColumnWidth = 680;
  static constexpr int kPadding = 48;

private:
  void rebuildBlock();
  void updateMessage();
  QWidget *makeBlock();

  PellumModel &model_;
  QWidget *column_;
  QVBoxLayout *blockSlot_;
  QWidget *block_ = nullptr;
  QLabel *message_;
  QPushButton *quit_;
};

} // namespace pellum
