#include "LocalAppSetup.h"

#include "LocalAppIcon.h"
#include "UiParts.h"

#include "config/LocalServer.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pellum {

LocalAppSetup::LocalAppSetup(PellumModel &model, LocalApp app, QWidget *parent)
    : PellumSheet(model, parent, 480, QStringLiteral("Adding ") + app.name + QStringLiteral("…")),
      app_(std::move(app)), endpoint_(new QLineEdit(app_.endpoint)) {
  setWindowTitle(QStringLiteral("Connect ") + app_.name);
  auto *heading = new QHBoxLayout;
  heading->setSpacing(12);
  heading->addWidget(new LocalAppIcon(app_));
  heading->addWidget(makeLabel(QStringLiteral("Connect ") + app_.name, TextStyle::title), 1);
  content()->addLayout(heading);
  content()->addWidget(makeLabel(app_.instructions));

  if (const std::optional<InstalledApp> installed = InstalledApp::find(app_.bundleID)) {
    auto *open = makeButton(app_.openLabel());
    connect(open, &QPushButton::clicked, this, [bundleID = app_.bundleID] {
      // Looked up again: the app may have been removed since the sheet opened.
      if (const std::optional<InstalledApp> current = InstalledApp::find(bundleID))
        current->launch();
    });
    content()->addWidget(open, 0, Qt::AlignLeft);
  }

  auto *group = new QVBoxLayout;
  group->setSpacing(6);
  group->addWidget(makeLabel(QStringLiteral("Local MCP address"), TextStyle::headline));
  endpoint_->setPlaceholderText(QStringLiteral("http://localhost:3000/mcp"));
  endpoint_->setAccessibleName(QStringLiteral("Local MCP address"));
  endpoint_->setFont(fontFor(TextStyle::body));
  group->addWidget(endpoint_);
  group->addWidget(makeLabel(QStringLiteral("Use the address shown in the app’s settings."),
                             TextStyle::caption, "muted"));
  content()->addLayout(group);
  content()->addWidget(makeLabel(QStringLiteral("This adds ") + app_.name +
                                     QStringLiteral(" to your Pellum account. Authorized AI "
                                                    "clients can then use the tools it exposes."),
                                 TextStyle::callout, "muted"));

  auto *cancel = makeButton(QStringLiteral("Cancel"));
  auto *addButton = makeButton(QStringLiteral("Add ") + app_.name, true);
  buttons()->addStretch(1);
  buttons()->addWidget(cancel);
  buttons()->addWidget(addButton);
  connect(cancel, &QPushButton::clicked, this, &LocalAppSetup::reject);
  connect(addButton, &QPushButton::clicked, this, &LocalAppSetup::add);
}

void LocalAppSetup::add() {
  const std::string url = endpoint_->text().trimmed().toStdString();
  LocalServer service(app_.id.toStdString(), app_.name.toStdString(), "http");
  service.url = url;
  try {
    service.validate();
  } catch (const std::exception &error) {
    setError(QString::fromUtf8(error.what()));
    return;
  }
  runCommand({"add", service.slug, "--name", service.name, "--url", url}, std::nullopt);
}

} // namespace pellum
