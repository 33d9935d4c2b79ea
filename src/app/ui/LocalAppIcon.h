#pragma once

#include "LocalApp.h"

#include <QLabel>

namespace pellum {

// A catalog app's 48 × 48 icon: the installed app's own icon, else the first letter of its name
// on a rounded placeholder. Looked up when made. GUI thread only.
class LocalAppIcon : public QLabel {
  Q_OBJECT
public:
  explicit LocalAppIcon(const LocalApp &app, QWidget *parent = nullptr);

  static constexpr int kSize = 48;

  // True when the placeholder letter is shown.
  bool isPlaceholder() const { return placeholder_; }

private:
  bool placeholder_ = false;
};

} // namespace pellum
