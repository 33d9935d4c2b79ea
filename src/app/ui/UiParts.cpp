#include "UiParts.h"

#include "PellumTheme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QStyle>
#include <QTimer>

namespace pellum {

QFont fontFor(TextStyle style) {
  QFont font;
  int size = 13;
  bool bold = false;
  switch (style) {
  case TextStyle::largeTitle:
    size = 26;
    bold = true;
    break;
  case TextStyle::title:
    size = 22;
    bold = true;
    break;
  case TextStyle::title2:
    size = 17;
    bold = true;
    break;
  case TextStyle::title3:
    size = 15;
    bold = true;
    break;
  case TextStyle::headline:
    bold = true;
    break;
  case TextStyle::body:
    break;
  case TextStyle::callout:
    size = 12;
    break;
  case TextStyle::subheadline:
    size = 11;
    break;
  case TextStyle::caption:
    size = 11;
    break;
  }
  font.setPixelSize(size);
  font.setBold(bold);
  return font;
}

void setRole(QWidget *widget, const char *role) {
  widget->setProperty("role", QString::fromLatin1(role));
  widget->style()->unpolish(widget);
  widget->style()->polish(widget);
}

QLabel *makeLabel(const QString &text, TextStyle style, const char *role, bool selectable) {
  auto *label = new QLabel(text);
  label->setFont(fontFor(style));
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  if (role)
    label->setProperty("role", QString::fromLatin1(role));
  if (selectable)
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  return label;
}

QPushButton *makeButton(const QString &text, bool prominent) {
  auto *button = new QPushButton(text);
  button->setFont(fontFor(TextStyle::body));
  button->setCursor(Qt::PointingHandCursor);
  if (prominent) {
    button->setProperty("prominent", true);
    button->setDefault(true);
  } else {
    button->setAutoDefault(false);
  }
  return button;
}

class BusyIndicator::Spinner : public QWidget {
public:
  explicit Spinner(QWidget *parent) : QWidget(parent), timer_(new QTimer(this)) {
    setFixedSize(18, 18);
    connect(timer_, &QTimer::timeout, this, [this] {
      angle_ = (angle_ + 30) % 360;
      update();
    });
    timer_->start(80);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen track(PellumTheme::border(), 2.5);
    painter.setPen(track);
    const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.drawEllipse(box);
    QPen arc(PellumTheme::accent(), 2.5);
    arc.setCapStyle(Qt::RoundCap);
    painter.setPen(arc);
    painter.drawArc(box, -angle_ * 16, 100 * 16);
  }

private:
  QTimer *timer_;
  int angle_ = 0;
};

BusyIndicator::BusyIndicator(const QString &label, QWidget *parent)
    : QWidget(parent), label_(makeLabel(label)) {
  auto *row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  row->addWidget(new Spinner(this), 0, Qt::AlignVCenter);
  row->addWidget(label_, 1);
}

} // namespace pellum
