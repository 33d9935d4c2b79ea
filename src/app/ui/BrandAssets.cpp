#include "BrandAssets.h"

#include <QGuiApplication>
#include <QImageReader>

// The resource lives in the same static library; make sure its registration is linked in.
static void initBrandResources() { Q_INIT_RESOURCE(pellum); }

namespace pellum {

QPixmap BrandAssets::loadSymbol(const QString &resourcePath) {
  QImageReader reader(resourcePath);
  const QImage image = reader.read();
  if (!image.isNull())
    return QPixmap::fromImage(image);
  const QIcon icon = QGuiApplication::windowIcon();
  if (!icon.isNull())
    return icon.pixmap(256, 256);
  return QPixmap();
}

const QPixmap &BrandAssets::symbol() {
  static const QPixmap pixmap = [] {
    initBrandResources();
    return loadSymbol(QStringLiteral(":/pellum-symbol.png"));
  }();
  return pixmap;
}

const QIcon &BrandAssets::menuBarSymbol() {
  static const QIcon icon = [] {
    QIcon made(symbol().scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    made.setIsMask(true);
    return made;
  }();
  return icon;
}

} // namespace pellum
