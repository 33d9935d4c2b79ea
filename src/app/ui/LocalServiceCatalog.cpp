#include "LocalServiceCatalog.h"

#include "LocalAppIcon.h"
#include "LocalAppSetup.h"
#include "PellumModel.h"
#include "UiParts.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace pellum {

LocalServiceCatalog::LocalServiceCatalog(PellumModel &model, QWidget *parent)
    : QWidget(parent), model_(model), grid_(new QGridLayout) {
  setObjectName(QStringLiteral("LocalServiceCatalog"));
  auto *column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(12);
  column->addWidget(makeLabel(QStringLiteral("Service catalog"), TextStyle::title2));
  grid_->setContentsMargins(0, 0, 0, 0);
  grid_->setSpacing(kSpacing);
  column->addLayout(grid_);
  connect(&model_, &PellumModel::configuredServicesChanged, this, &LocalServiceCatalog::rebuild);
  connect(&model_, &PellumModel::busyChanged, this, [this] {
    for (QPushButton *button : findChildren<QPushButton *>())
      if (button->property("setsUp").toBool())
        button->setEnabled(!model_.busy());
  });
  rebuild();
}

std::vector<LocalApp> LocalServiceCatalog::matches() const {
  std::vector<LocalApp> shown;
  const auto &services = model_.configuredServices();
  for (const LocalApp &app : LocalApp::catalog()) {
    const std::string id = app.id.toStdString();
    if (std::none_of(services.begin(), services.end(),
                     [&](const LocalServer &service) { return service.slug == id; }))
      shown.push_back(app);
  }
  return shown;
}

void LocalServiceCatalog::select(const LocalApp &app) {
  auto *sheet = new LocalAppSetup(model_, app, window());
  sheet->open();
}

void LocalServiceCatalog::rebuild() {
  for (QWidget *card : cards_)
    delete card;
  cards_.clear();
  const std::vector<LocalApp> shown = matches();
  for (const LocalApp &app : shown)
    cards_.push_back(makeCard(app));
  setVisible(!shown.empty());
  columns_ = 0;
  placeCards();
}

QWidget *LocalServiceCatalog::makeCard(const LocalApp &app) {
  auto *card = new QFrame;
  card->setProperty("role", QStringLiteral("catalogCard"));
  card->setObjectName(QStringLiteral("catalog-") + app.id);
  auto *column = new QVBoxLayout(card);
  column->setContentsMargins(20, 20, 20, 20);
  column->setSpacing(14);

  auto *heading = new QHBoxLayout;
  heading->setSpacing(12);
  heading->addWidget(new LocalAppIcon(app), 0, Qt::AlignTop);
  auto *names = new QVBoxLayout;
  names->setSpacing(4);
  names->addWidget(makeLabel(app.name, TextStyle::title3));
  names->addWidget(makeLabel(app.subtitle, TextStyle::subheadline, "muted"));
  names->addStretch(1);
  heading->addLayout(names, 1);
  column->addLayout(heading);
  column->addWidget(makeLabel(app.description));

  QPushButton *button;
  if (InstalledApp::find(app.bundleID)) {
    button = makeButton(QStringLiteral("Set up ") + app.name, true);
    button->setProperty("setsUp", true);
    button->setEnabled(!model_.busy());
    connect(button, &QPushButton::clicked, this, [this, app] { select(app); });
  } else {
    button = makeButton(QStringLiteral("Learn more"));
    connect(button, &QPushButton::clicked, this,
            [url = app.learnMoreURL] { QDesktopServices::openUrl(url); });
  }
  column->addWidget(button, 0, Qt::AlignLeft);
  column->addStretch(1);
  return card;
}

void LocalServiceCatalog::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  placeCards();
}

// As many columns as fit at the minimum width, sharing the width evenly; cards fill their cells
// from the top-left.
void LocalServiceCatalog::placeCards() {
  const int width = std::max(contentsRect().width(), kMinimumColumnWidth);
  const int columns = std::max(1, (width + kSpacing) / (kMinimumColumnWidth + kSpacing));
  if (columns == columns_ && grid_->count() == static_cast<int>(cards_.size()))
    return;
  for (int index = 0; index < grid_->columnCount(); ++index)
    grid_->setColumnStretch(index, 0);
  for (QWidget *card : cards_)
    grid_->removeWidget(card);
  columns_ = columns;
  for (int index = 0; index < columns; ++index) {
    grid_->setColumnStretch(index, 1);
  }
  for (size_t index = 0; index < cards_.size(); ++index)
    grid_->addWidget(cards_[index], static_cast<int>(index) / columns,
                     static_cast<int>(index) % columns);
}

} // namespace pellum
