#pragma once

#include "LocalApp.h"

#include <QWidget>

#include <vector>

class QGridLayout;

namespace pellum {

class PellumModel;

// The "Service catalog" section of the local services screen: a card for every catalog app
// whose id is the namespace of no configured service; hidden when none remains. GUI thread only.
class LocalServiceCatalog : public QWidget {
  Q_OBJECT
public:
  explicit LocalServiceCatalog(PellumModel &model, QWidget *parent = nullptr);

  // The entries shown, in catalog order.
  std::vector<LocalApp> matches() const;
  // Opens the setup sheet of `app` over the window.
  void select(const LocalApp &app);
  // Looks up installed apps again and redraws the cards.
  void rebuild();

  static constexpr int kMinimumColumnWidth = 272;
  static constexpr int kSpacing = 16;

protected:
  void resizeEvent(QResizeEvent *event) override;

private:
  QWidget *makeCard(const LocalApp &app);
  void placeCards();

  PellumModel &model_;
  QGridLayout *grid_;
  std::vector<QWidget *> cards_;
  int columns_ = 0;
};

} // namespace pellum
