#pragma once

#include "support/HeaderMap.h"

#include <QString>
#include <QUuid>

#include <string>
#include <vector>

namespace pellum {

// One editable header line of the setup sheets; rows are told apart by `id`, which stays fixed
// for the row's life.
struct HeaderRow {
  QUuid id = QUuid::createUuid();
  QString key;
  QString value;

  // Most rows a header editor holds.
  static constexpr int kMaxRows = 32;

  // Rows for stored headers, sorted by name, each with a new id; one empty row when there are
  // none.
  static std::vector<HeaderRow> fromHeaders(const HeaderMap &headers);

  // The standard input of a header command: the rows as a compact JSON object. Keys are trimmed
  // of spaces and tabs and lower-cased; rows without key and value are skipped; values stay as
  // typed. Throws ConnectorError for a value without key, a repeated key, or headers the service
  // rules refuse.
  static std::string headersJSON(const std::vector<HeaderRow> &rows);
};

} // namespace pellum
