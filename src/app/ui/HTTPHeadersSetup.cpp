#include "HTTPHeadersSetup.h"

#include "HeaderFields.h"
#include "UiParts.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace pellum {

HTTPHeadersSetup::HTTPHeadersSetup(PellumModel &model, LocalServer service, QWidget *parent)
    : PellumSheet(model, parent, 580, QStringLiteral("Saving headers…")),
      service_(std::move(service)),
      fields_(new HeaderFields(HeaderRow::fromHeaders(service_.headers.value_or(HeaderMap{})))),
      removeAll_(makeButton(QStringLiteral("Remove all"))) {
  const QString name = QString::fromStdString(service_.name);
  setWindowTitle(QStringLiteral("HTTP headers for ") + name);
  content()->addWidget(makeLabel(QStringLiteral("HTTP headers for ") + name, TextStyle::title2));
  content()->addWidget(
      makeLabel(QStringLiteral("These headers are sent with requests to this local service."),
                TextStyle::body, "muted"));

  auto *area = new QScrollArea;
  area->setWidget(fields_);
  area->setWidgetResizable(true);
  area->setFrameShape(QFrame::NoFrame);
  area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  area->setFixedHeight(240);
  fields_->setProperty("role", QStringLiteral("scroll"));
  auto *padded = new QWidget;
  auto *padding = new QVBoxLayout(padded);
  padding->setContentsMargins(2, 2, 2, 2);
  padding->addWidget(area);
  content()->addWidget(padded);

  if (hasEnvironmentAuthentication(service_))
    content()->addWidget(makeLabel(
        QStringLiteral(
            "Saving replaces this service’s existing environment-based authentication with the "
            "headers entered here."),
        TextStyle::caption));

  auto *cancel = makeButton(QStringLiteral("Cancel"));
  auto *saveButton = makeButton(QStringLiteral("Save"), true);
  buttons()->addWidget(removeAll_);
  buttons()->addStretch(1);
  buttons()->addWidget(cancel);
  buttons()->addWidget(saveButton);
  connect(removeAll_, &QPushButton::clicked, this, &HTTPHeadersSetup::removeAll);
  connect(cancel, &QPushButton::clicked, this, &HTTPHeadersSetup::reject);
  connect(saveButton, &QPushButton::clicked, this, &HTTPHeadersSetup::save);
  connect(fields_, &HeaderFields::rowsChanged, this,
          [this] { removeAll_->setEnabled(!fields_->rows().empty()); });
  removeAll_->setEnabled(!fields_->rows().empty());
}

bool HTTPHeadersSetup::hasEnvironmentAuthentication(const LocalServer &service) {
  return (service.headerEnv && !service.headerEnv->empty()) || service.authorizationEnv ||
         service.basicAuth;
}

void HTTPHeadersSetup::removeAll() { fields_->setRows({}); }

void HTTPHeadersSetup::save() {
  std::string input;
  try {
    input = HeaderRow::headersJSON(fields_->rows());
  } catch (const std::exception &error) {
    setError(QString::fromUtf8(error.what()));
    return;
  }
  runCommand({"headers", service_.slug, "--headers-input"}, std::move(input));
}

} // namespace pellum
