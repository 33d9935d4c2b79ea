#pragma once

#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

class QTimer;

namespace pellum {

// The text styles of the screens, by their sizes in points (pixels at scale 1). Every title
// style is bold: the screens use titles only in bold.
enum class TextStyle {
  largeTitle,
  title,
  title2,
  title3,
  headline,
  body,
  callout,
  subheadline,
  caption
};

QFont fontFor(TextStyle style);

// Marks a widget for a selector of the app style sheet (PellumTheme) and re-polishes it.
void setRole(QWidget *widget, const char *role);

// A label in a text style and an optional colour role ("muted", "danger"), wrapping within its
// width; `selectable` lets the user select and copy it.
QLabel *makeLabel(const QString &text, TextStyle style = TextStyle::body,
                  const char *role = nullptr, bool selectable = false);

// A push button; prominent buttons fill with the accent colour and take Return.
QPushButton *makeButton(const QString &text, bool prominent = false);

// A small spinning indicator with its label to the right.
class BusyIndicator : public QWidget {
public:
  explicit BusyIndicator(const QString &label, QWidget *parent = nullptr);

  QString text() const { return label_->text(); }
  void setText(const QString &text) { label_->setText(text); }

private:
  class Spinner;
  QLabel *label_;
};

} // namespace pellum
