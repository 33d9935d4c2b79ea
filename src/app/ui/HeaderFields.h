#pragma once

#include "HeaderRow.h"

#include <QWidget>

#include <vector>

class QPushButton;
class QVBoxLayout;

namespace pellum {

// Edits a list of header rows: one line per row with a key field, a value field and a remove
// button, then "Add header" (disabled at HeaderRow::kMaxRows rows). GUI thread only.
class HeaderFields : public QWidget {
  Q_OBJECT
public:
  explicit HeaderFields(std::vector<HeaderRow> rows = {}, QWidget *parent = nullptr);

  const std::vector<HeaderRow> &rows() const { return rows_; }
  void setRows(std::vector<HeaderRow> rows);
  void addRow();
  void removeRow(const QUuid &id);

  // Height of the scroll area around a manual sheet's editor for `rowCount` rows.
  static int manualAreaHeight(int rowCount);

signals:
  void rowsChanged();

private:
  void rebuild();

  std::vector<HeaderRow> rows_;
  QVBoxLayout *lines_;
  QPushButton *addButton_;
};

} // namespace pellum
