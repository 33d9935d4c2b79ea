#include "HeaderFields.h"

#include "PellumTheme.h"
#include "UiParts.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace pellum {

namespace {

// A circle with a minus in it, drawn in the muted colour.
QIcon minusCircleIcon() {
  QPixmap pixmap(36, 36);
  pixmap.setDevicePixelRatio(2);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(PellumTheme::muted(), 1.4));
  painter.drawEllipse(QRectF(2, 2, 14, 14));
  painter.drawLine(QPointF(5.5, 9), QPointF(12.5, 9));
  return QIcon(pixmap);
}

} // namespace

HeaderFields::HeaderFields(std::vector<HeaderRow> rows, QWidget *parent)
    : QWidget(parent), lines_(new QVBoxLayout),
      addButton_(makeButton(QStringLiteral("Add header"))) {
  auto *column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);
  lines_->setContentsMargins(0, 0, 0, 0);
  lines_->setSpacing(10);
  column->addLayout(lines_);
  column->addWidget(addButton_, 0, Qt::AlignLeft);
  column->addStretch(1);
  connect(addButton_, &QPushButton::clicked, this, &HeaderFields::addRow);
  setRows(std::move(rows));
}

int HeaderFields::manualAreaHeight(int rowCount) { return std::min(36 * rowCount + 36, 180); }

void HeaderFields::setRows(std::vector<HeaderRow> rows) {
  rows_ = std::move(rows);
  rebuild();
}

void HeaderFields::addRow() {
  if (rows_.size() >= static_cast<size_t>(HeaderRow::kMaxRows))
    return;
  rows_.push_back({});
  rebuild();
}

void HeaderFields::removeRow(const QUuid &id) {
  std::erase_if(rows_, [&](const HeaderRow &row) { return row.id == id; });
  rebuild();
}

void HeaderFields::rebuild() {
  while (QLayoutItem *item = lines_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const HeaderRow &row : rows_) {
    auto *line = new QWidget;
    auto *layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto *key = new QLineEdit(row.key);
    key->setPlaceholderText(QStringLiteral("Key (e.g. Authorization)"));
    key->setAccessibleName(QStringLiteral("Key"));
    auto *value = new QLineEdit(row.value);
    value->setPlaceholderText(QStringLiteral("Value"));
    value->setAccessibleName(QStringLiteral("Value"));
    key->setFont(fontFor(TextStyle::body));
    value->setFont(fontFor(TextStyle::body));
    auto *remove = new QToolButton;
    remove->setIcon(minusCircleIcon());
    remove->setIconSize(QSize(18, 18));
    remove->setAccessibleName(QStringLiteral("Remove header"));
    remove->setToolTip(QStringLiteral("Remove header"));
    remove->setCursor(Qt::PointingHandCursor);
    remove->setProperty("role", QStringLiteral("iconButton"));
    layout->addWidget(key, 1);
    layout->addWidget(value, 1);
    layout->addWidget(remove);
    const QUuid id = row.id;
    auto find = [this, id]() {
      return std::find_if(rows_.begin(), rows_.end(),
                          [&](const HeaderRow &r) { return r.id == id; });
    };
    connect(key, &QLineEdit::textChanged, this, [find, this](const QString &text) {
      if (auto it = find(); it != rows_.end())
        it->key = text;
    });
    connect(value, &QLineEdit::textChanged, this, [find, this](const QString &text) {
      if (auto it = find(); it != rows_.end())
        it->value = text;
    });
    // Queued: the button that was clicked is deleted by the rebuild.
    connect(
        remove, &QToolButton::clicked, this, [this, id] { removeRow(id); }, Qt::QueuedConnection);
    lines_->addWidget(line);
  }
  addButton_->setEnabled(rows_.size() < static_cast<size_t>(HeaderRow::kMaxRows));
  emit rowsChanged();
}

} // namespace pellum
