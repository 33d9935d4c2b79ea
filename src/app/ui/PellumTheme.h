#pragma once

#include <QColor>
#include <QObject>
#include <QString>

namespace pellum {

// The app's colours. Every colour but `accent` has a light and a dark value; which one applies
// follows the application palette: a dark window colour selects the dark values. The palette is
// the platform's unless someone replaces it, so a system switch between light and dark arrives
// here as a palette or theme change. Use from the GUI thread only.
class PellumTheme {
public:
  struct Colors {
    QColor windowBackground;
    QColor background;
    QColor surface;
    QColor subtle;
    QColor border;
    QColor text;
    QColor muted;
    QColor accent;
    QColor accentText;
    QColor danger;
  };

  PellumTheme() = delete;

  static const Colors &light();
  static const Colors &dark();
  // True when the application palette's window colour is dark.
  static bool isDark();
  // The values of the current appearance.
  static const Colors &current();

  static QColor windowBackground() { return current().windowBackground; }
  static QColor background() { return current().background; }
  static QColor surface() { return current().surface; }
  static QColor subtle() { return current().subtle; }
  static QColor border() { return current().border; }
  static QColor text() { return current().text; }
  static QColor muted() { return current().muted; }
  static QColor accent() { return current().accent; }
  static QColor accentText() { return current().accentText; }
  static QColor danger() { return current().danger; }
  // The label colour of prominent buttons, the same in both appearances.
  static QColor prominentText() { return QColor(15, 15, 15); }

  // The application style sheet for the given colours: widgets pick their role through the
  // dynamic property "role" (see the selectors in the source).
  static QString styleSheet(const Colors &colors);

  // Applies the style sheet of the current appearance to the application now and again on every
  // palette or theme change, so that open windows recolour at once. Needs a QApplication.
  static void install();
};

} // namespace pellum
