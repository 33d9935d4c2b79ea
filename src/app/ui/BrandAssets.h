#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace pellum {

// The brand symbol, made once on first use. Use from the GUI thread only.
class BrandAssets {
public:
  BrandAssets() = delete;

  // The image of the resource "pellum-symbol"; without it the application's icon, and without
  // that an empty image.
  static const QPixmap &symbol();
  // The symbol at 22 × 22 for the tray, marked as a mask so that platforms that tint tray
  // icons can.
  static const QIcon &menuBarSymbol();

  // The lookup behind `symbol`, from a given resource path (tests name a missing one).
  static QPixmap loadSymbol(const QString &resourcePath);
};

} // namespace pellum
