#include "LocalServices.h"

#include "HTTPHeadersSetup.h"
#include "LocalServiceCatalog.h"
#include "ManualServiceSetup.h"
#include "PellumModel.h"
#include "PellumSheet.h"
#include "UiParts.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace pellum {

namespace {

// The removal confirmation: a message box with the sheets' edge.
class Confirmation : public QMessageBox {
public:
  using QMessageBox::QMessageBox;

protected:
  void paintEvent(QPaintEvent *event) override {
    QMessageBox::paintEvent(event);
    paintSheetEdge(this);
  }
};

QFrame *rule() {
  auto *line = new QFrame;
  line->setFixedHeight(1);
  line->setProperty("role", QStringLiteral("rule"));
  return line;
}

} // namespace

LocalServices::LocalServices(PellumModel &model, QWidget *parent)
    : QScrollArea(parent), model_(model), column_(new QWidget), servicesSlot_(new QVBoxLayout),
      catalog_(new LocalServiceCatalog(model)),
      busy_(new BusyIndicator(QStringLiteral("Updating connector…"))),
      output_(makeLabel(QString(), TextStyle::callout, "muted", true)),
      utilities_(new QMenu(this)) {
  setObjectName(QStringLiteral("LocalServices"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  column_->setProperty("role", QStringLiteral("scroll"));
  setWidget(column_);

  auto *layout = new QVBoxLayout(column_);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(24);

  auto *header = new QHBoxLayout;
  header->setSpacing(12);
  header->addWidget(makeLabel(QStringLiteral("Local services"), TextStyle::title2), 1);
  auto *add = makeButton(QStringLiteral("Add manually"));
  setRole(add, "accentText");
  connect(add, &QPushButton::clicked, this, &LocalServices::addManually);
  header->addWidget(add);
  // A push button like its neighbour, so that both stand the same height; it opens the menu.
  auto *menuButton = makeButton(QStringLiteral("Utilities"));
  menuButton->setMenu(utilities_);
  setRole(menuButton, "menu");
  header->addWidget(menuButton);
  layout->addLayout(header);

  startAtLogin_ = utilities_->addAction(QStringLiteral("Start connector at login"), this, [this] {
    model_.run({"service", "install"});
  });
  utilities_->addAction(QStringLiteral("Restart connector"), this, [this] {
    model_.run({"service", "restart"});
  });
  // "&&" is a literal ampersand; a single one would mark a keyboard shortcut instead.
  utilities_->addAction(QStringLiteral("Stop && remove connector"), this, [this] {
    model_.run({"service", "uninstall"});
  });
  utilities_->addSeparator();
  utilities_->addAction(QStringLiteral("Update Cloudflare connector"), this, [this] {
    model_.run({"cloudflared", "update"});
  });
  connect(utilities_, &QMenu::aboutToShow, this, [this] { model_.refreshLoginStartup(); });

  servicesSlot_->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(servicesSlot_);
  layout->addWidget(catalog_);
  layout->addWidget(busy_);
  layout->addWidget(output_);
  layout->addStretch(1);

  connect(&model_, &PellumModel::configuredServicesChanged, this, &LocalServices::rebuildServices);
  connect(&model_, &PellumModel::busyChanged, this, &LocalServices::followBusy);
  connect(&model_, &PellumModel::outputChanged, this, &LocalServices::followOutput);
  connect(&model_, &PellumModel::connectorStartsAtLoginChanged, this,
          &LocalServices::followLoginStartup);
  connect(&model_, &PellumModel::checkingLoginStartupChanged, this,
          &LocalServices::followLoginStartup);
  connect(qApp, &QGuiApplication::applicationStateChanged, this,
          [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive && isVisible())
              model_.refreshLocalServices();
          });
  rebuildServices();
  followBusy();
  followOutput();
  followLoginStartup();
}

void LocalServices::showEvent(QShowEvent *event) {
  QScrollArea::showEvent(event);
  model_.refreshLocalServices();
  catalog_->rebuild();
}

void LocalServices::followBusy() {
  const bool busy = model_.busy();
  column_->setEnabled(!busy);
  // The catalog is part of the screen: nothing in it may start while a command runs.
  catalog_->setEnabled(!busy);
  busy_->setVisible(busy);
}

void LocalServices::followOutput() {
  const QString output = model_.output();
  output_->setText(output);
  output_->setVisible(!output.isEmpty());
}

void LocalServices::followLoginStartup() {
  startAtLogin_->setEnabled(!model_.connectorStartsAtLogin() && !model_.checkingLoginStartup());
}

void LocalServices::rebuildServices() {
  if (services_) {
    servicesSlot_->removeWidget(services_);
    services_->deleteLater();
  }
  const auto &services = model_.configuredServices();
  if (services.empty()) {
    QLabel *empty =
        makeLabel(QStringLiteral("No local services added yet."), TextStyle::body, "muted");
    empty->setContentsMargins(16, 16, 16, 16);
    services_ = empty;
  } else {
    auto *card = new QFrame;
    card->setProperty("role", QStringLiteral("card"));
    auto *rows = new QVBoxLayout(card);
    rows->setContentsMargins(1, 1, 1, 1);
    rows->setSpacing(0);
    for (size_t index = 0; index < services.size(); ++index) {
      rows->addWidget(makeRow(services[index]));
      if (index + 1 < services.size())
        rows->addWidget(rule());
    }
    services_ = card;
  }
  servicesSlot_->addWidget(services_);
}

QWidget *LocalServices::makeRow(const LocalServer &service) {
  auto *row = new QWidget;
  row->setObjectName(QStringLiteral("service-") + QString::fromStdString(service.slug));
  auto *layout = new QHBoxLayout(row);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(16);
  auto *names = new QVBoxLayout;
  names->setSpacing(4);
  names->addWidget(makeLabel(QString::fromStdString(service.name), TextStyle::headline));
  const std::string detail = service.url       ? *service.url
                             : service.command ? *service.command
                                               : service.slug;
  names->addWidget(makeLabel(QString::fromStdString(detail), TextStyle::callout, "muted", true));
  layout->addLayout(names, 1);
  if (service.type == "http") {
    auto *edit = makeButton(QStringLiteral("Edit headers…"));
    connect(edit, &QPushButton::clicked, this, [this, service] { editHeaders(service); });
    layout->addWidget(edit);
  }
  auto *remove = makeButton(QStringLiteral("Remove"));
  setRole(remove, "destructive");
  connect(remove, &QPushButton::clicked, this, [this, service] { confirmRemoval(service); });
  layout->addWidget(remove);
  return row;
}

void LocalServices::addManually() {
  auto *sheet = new ManualServiceSetup(model_, window());
  sheet->open();
}

void LocalServices::editHeaders(const LocalServer &service) {
  auto *sheet = new HTTPHeadersSetup(model_, service, window());
  sheet->open();
}

void LocalServices::confirmRemoval(const LocalServer &service) {
  const QString name =
      service.name.empty() ? QStringLiteral("service") : QString::fromStdString(service.name);
  auto *dialog = new Confirmation(window());
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setIcon(QMessageBox::NoIcon);
  dialog->setWindowTitle(QStringLiteral("Pellum"));
  dialog->setText(QStringLiteral("Remove ") + name + QStringLiteral(" from this Mac and Pellum?"));
  dialog->setFont(fontFor(TextStyle::headline));
  QPushButton *removeButton =
      dialog->addButton(QStringLiteral("Remove service"), QMessageBox::DestructiveRole);
  setRole(removeButton, "destructive");
  QPushButton *cancel = dialog->addButton(QMessageBox::Cancel);
  dialog->setDefaultButton(QMessageBox::Cancel);
  // Text-only buttons in the body font, as everywhere else in the app.
  for (QAbstractButton *button : dialog->buttons()) {
    button->setIcon(QIcon());
    button->setFont(fontFor(TextStyle::body));
  }
  cancel->setText(QStringLiteral("Cancel"));
  if (dialog->layout())
    dialog->layout()->setContentsMargins(24, 20, 24, 20);
  connect(removeButton, &QPushButton::clicked, this, [this, slug = service.slug] {
    model_.run({"remove", slug});
  });
  dialog->open();
}

} // namespace pellum
