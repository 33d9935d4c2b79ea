#include "ManualServiceSetup.h"

#include "HeaderFields.h"
#include "PellumModel.h"
#include "UiParts.h"

#include "support/ConnectorError.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <nlohmann/json.hpp>

namespace pellum {

namespace {

QLineEdit *field(const QString &placeholder) {
  auto *edit = new QLineEdit;
  edit->setPlaceholderText(placeholder);
  edit->setAccessibleName(placeholder);
  edit->setFont(fontFor(TextStyle::body));
  return edit;
}

QWidget *fieldGroup(std::initializer_list<QWidget *> widgets) {
  auto *group = new QWidget;
  auto *layout = new QVBoxLayout(group);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(18);
  for (QWidget *widget : widgets)
    layout->addWidget(widget);
  return group;
}

} // namespace

ManualServiceSetup::ManualServiceSetup(PellumModel &model, QWidget *parent)
    : PellumSheet(model, parent, 480, QStringLiteral("Adding service…")),
      httpChoice_(makeButton(QStringLiteral("Local HTTP endpoint"))),
      stdioChoice_(makeButton(QStringLiteral("Command / stdio"))),
      name_(field(QStringLiteral("Service name"))),
      slug_(field(QStringLiteral("Namespace (e.g. my-tools)"))),
      url_(field(QStringLiteral("Local MCP URL"))),
      command_(field(QStringLiteral("Executable (absolute path recommended)"))),
      arguments_(field(QStringLiteral("Arguments as a JSON array"))),
      envNames_(field(QStringLiteral("Environment variable names, comma separated"))),
      headers_(new HeaderFields), headerArea_(new QScrollArea),
      addButton_(makeButton(QStringLiteral("Add service"), true)) {
  setWindowTitle(QStringLiteral("Add manually"));
  url_->setText(QStringLiteral("http://localhost:3000/mcp"));
  arguments_->setText(QStringLiteral("[]"));

  content()->addWidget(makeLabel(QStringLiteral("Add manually"), TextStyle::title2));

  // The transport selector: two joined segments, one checked.
  auto *selector = new QWidget;
  selector->setAccessibleName(QStringLiteral("Connection"));
  auto *selectorRow = new QHBoxLayout(selector);
  selectorRow->setContentsMargins(0, 0, 0, 0);
  selectorRow->setSpacing(10);
  selectorRow->addWidget(makeLabel(QStringLiteral("Connection")), 0);
  auto *segments = new QButtonGroup(selector);
  auto *segmentRow = new QHBoxLayout;
  segmentRow->setSpacing(0);
  for (QPushButton *choice : {httpChoice_, stdioChoice_}) {
    choice->setCheckable(true);
    setRole(choice, "segment");
    segments->addButton(choice);
    segmentRow->addWidget(choice);
  }
  httpChoice_->setChecked(true);
  selectorRow->addLayout(segmentRow);
  selectorRow->addStretch(1);
  content()->addWidget(selector);
  connect(httpChoice_, &QPushButton::clicked, this, [this] { setStdio(false); });
  connect(stdioChoice_, &QPushButton::clicked, this, [this] { setStdio(true); });

  content()->addWidget(name_);
  content()->addWidget(slug_);

  stdioFields_ = fieldGroup(
      {command_, arguments_, envNames_,
       makeLabel(QStringLiteral("Commands run with your Mac account's permissions. Review the "
                                "executable and arguments before adding."),
                 TextStyle::caption, "muted")});
  headerArea_->setWidget(headers_);
  headerArea_->setWidgetResizable(true);
  headerArea_->setFrameShape(QFrame::NoFrame);
  headerArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  headers_->setProperty("role", QStringLiteral("scroll"));
  auto *padded = new QWidget;
  auto *padding = new QVBoxLayout(padded);
  padding->setContentsMargins(2, 2, 2, 2);
  padding->addWidget(headerArea_);
  httpFields_ = fieldGroup({url_, padded});
  content()->addWidget(stdioFields_);
  content()->addWidget(httpFields_);
  connect(headers_, &HeaderFields::rowsChanged, this, &ManualServiceSetup::resizeHeaderArea);
  resizeHeaderArea();

  auto *cancel = makeButton(QStringLiteral("Cancel"));
  connect(cancel, &QPushButton::clicked, this, &ManualServiceSetup::reject);
  buttons()->addStretch(1);
  buttons()->addWidget(cancel);
  buttons()->addWidget(addButton_);
  connect(addButton_, &QPushButton::clicked, this, &ManualServiceSetup::add);
  connect(name_, &QLineEdit::textChanged, this, &ManualServiceSetup::updateAddEnabled);
  connect(slug_, &QLineEdit::textChanged, this, &ManualServiceSetup::updateAddEnabled);
  updateAddEnabled();
  setStdio(false);
  name_->setFocus();
}

void ManualServiceSetup::setStdio(bool stdio) {
  stdio_ = stdio;
  (stdio ? stdioChoice_ : httpChoice_)->setChecked(true);
  stdioFields_->setVisible(stdio);
  httpFields_->setVisible(!stdio);
  adjustSize();
}

void ManualServiceSetup::updateAddEnabled() {
  addButton_->setEnabled(!slug_->text().isEmpty() && !name_->text().isEmpty());
}

void ManualServiceSetup::resizeHeaderArea() {
  headerArea_->setFixedHeight(
      HeaderFields::manualAreaHeight(static_cast<int>(headers_->rows().size())));
  if (isVisible())
    QTimer::singleShot(0, this, [this] { adjustSize(); });
}

std::vector<std::string> ManualServiceSetup::decodeArguments(const QString &text) {
  const nlohmann::json decoded = nlohmann::json::parse(text.toStdString(), nullptr, false);
  std::vector<std::string> arguments;
  bool valid = decoded.is_array();
  if (valid) {
    for (const nlohmann::json &element : decoded) {
      if (!element.is_string()) {
        valid = false;
        break;
      }
      arguments.push_back(element.get<std::string>());
    }
  }
  if (!valid)
    throw ConnectorError("Arguments must be a JSON array of strings, for example [\"--port\", "
                         "\"3000\"].",
                         400);
  return arguments;
}

void ManualServiceSetup::add() {
  if (slug_->text().isEmpty() || name_->text().isEmpty())
    return;
  std::vector<std::string> arguments{"add", slug_->text().toStdString(), "--name",
                                     name_->text().toStdString()};
  std::optional<std::string> input;
  try {
    if (stdio_) {
      std::vector<std::string> decoded = decodeArguments(arguments_->text());
      arguments.insert(arguments.end(), {"--env", envNames_->text().toStdString(), "--",
                                         command_->text().toStdString()});
      arguments.insert(arguments.end(), decoded.begin(), decoded.end());
    } else {
      arguments.insert(arguments.end(), {"--url", url_->text().toStdString()});
      input = HeaderRow::headersJSON(headers_->rows());
      arguments.push_back("--headers-input");
    }
  } catch (const std::exception &error) {
    setError(QString::fromUtf8(error.what()));
    return;
  }
  runCommand(std::move(arguments), std::move(input));
}

} // namespace pellum
