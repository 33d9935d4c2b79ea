#include "HeaderRow.h"

#include "config/LocalServer.h"
#include "support/ConnectorError.h"

#include <nlohmann/json.hpp>

namespace pellum {

namespace {

QString trimSpacesAndTabs(const QString &text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
  while (begin < end && blank(text[begin]))
    ++begin;
  while (end > begin && blank(text[end - 1]))
    --end;
  return text.mid(begin, end - begin);
}

} // namespace

std::vector<HeaderRow> HeaderRow::fromHeaders(const HeaderMap &headers) {
  std::vector<HeaderRow> rows;
  // HeaderMap is ordered by plain byte comparison, the sort order the sheet wants.
  for (const auto &[name, value] : headers)
    rows.push_back(
        {QUuid::createUuid(), QString::fromStdString(name), QString::fromStdString(value)});
  if (rows.empty())
    rows.push_back({});
  return rows;
}

std::string HeaderRow::headersJSON(const std::vector<HeaderRow> &rows) {
  HeaderMap headers;
  for (const HeaderRow &row : rows) {
    const QString key = trimSpacesAndTabs(row.key);
    if (key.isEmpty()) {
      if (!row.value.isEmpty())
        throw ConnectorError("Enter a key for every header value.", 400);
      continue;
    }
    const auto [where, added] =
        headers.emplace(key.toLower().toStdString(), row.value.toStdString());
    if (!added)
      throw ConnectorError("Each header key must be unique.", 400);
  }
  return nlohmann::json(LocalServer::validateHeaders(headers)).dump();
}

} // namespace pellum
