#include "LocalAppIcon.h"

#include "UiParts.h"

namespace pellum {

LocalAppIcon::LocalAppIcon(const LocalApp &app, QWidget *parent) : QLabel(parent) {
  setFixedSize(kSize, kSize);
  setAccessibleName(app.name);
  const std::optional<InstalledApp> installed = InstalledApp::find(app.bundleID);
  const QIcon icon = installed ? installed->icon() : QIcon();
  if (!icon.isNull()) {
    setPixmap(icon.pixmap(QSize(kSize, kSize)));
    setAlignment(Qt::AlignCenter);
    return;
  }
  placeholder_ = true;
  setText(app.name.left(1));
  setFont(fontFor(TextStyle::title));
  setAlignment(Qt::AlignCenter);
  setRole(this, "placeholderIcon");
}

} // namespace pellum
