#include "PellumTheme.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>

namespace pellum {

namespace {

QColor rgb(unsigned value) {
  return QColor::fromRgb(value >> 16, (value >> 8) & 0xff, value & 0xff);
}

// Re-applies the style sheet when the appearance flips. Setting a style sheet polishes every
// widget again, so open windows and sheets take the new colours at once.
class ThemeWatcher : public QObject {
public:
  explicit ThemeWatcher(QObject *parent) : QObject(parent) {}

  void apply() {
    const bool dark = PellumTheme::isDark();
    if (applied_ && dark == dark_)
      return;
    applied_ = true;
    dark_ = dark;
    qApp->setStyleSheet(PellumTheme::styleSheet(PellumTheme::current()));
  }

protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (watched == qApp &&
        (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::ThemeChange))
      apply();
    return false;
  }

private:
  bool applied_ = false;
  bool dark_ = false;
};

} // namespace

const PellumTheme::Colors &PellumTheme::light() {
  static const Colors colors{rgb(0xFFF8F0), rgb(0xFFF8F0), rgb(0xFFFFFF), rgb(0xFFEBD9),
                             rgb(0xF0C8AA), rgb(0x0F0F0F), rgb(0x74685F), rgb(0xFF4D00),
                             rgb(0xA83200), rgb(0xB53016)};
  return colors;
}

const PellumTheme::Colors &PellumTheme::dark() {
  static const Colors colors{rgb(0x211C18), rgb(0x211C18), rgb(0x2C2520), rgb(0x392A20),
                             rgb(0x624733), rgb(0xFFF8F0), rgb(0xC5B5A8), rgb(0xFF4D00),
                             rgb(0xFFAD75), rgb(0xFF9985)};
  return colors;
}

bool PellumTheme::isDark() {
  return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

const PellumTheme::Colors &PellumTheme::current() { return isDark() ? dark() : light(); }

QString PellumTheme::styleSheet(const Colors &c) {
  const bool darkValues = c.text == dark().text;
  const QString link = darkValues ? QStringLiteral("#0A84FF") : QStringLiteral("#007AFF");
  QString sheet = QStringLiteral(R"(
QWidget { color: @text; }
QWidget#PellumWindow, QDialog, QMessageBox { background: @background; }
QWidget[role="page"] { background: @background; }
QScrollArea, QScrollArea > QWidget > QWidget[role="scroll"] { background: transparent; border: none; }
QLabel { background: transparent; }
QLabel[role="muted"] { color: @muted; }
QLabel[role="danger"] { color: @danger; }
QFrame[role="card"] { background: @surface; border: 1px solid @border; border-radius: 12px; }
QFrame[role="catalogCard"] { background: @surface; border: 1px solid @border; border-radius: 16px; }
QFrame[role="card"] QLabel, QFrame[role="catalogCard"] QLabel { border: none; }
QFrame[role="header"] { background: @surface; }
QFrame[role="footer"] { background: @subtle; }
QFrame[role="rule"] { background: @border; border: none; min-height: 1px; max-height: 1px; }
QLabel[role="placeholderIcon"] { background: @subtle; border-radius: 12px; color: @text; }
QPushButton, QToolButton {
  background: @surface; color: @text; border: 1px solid @border; border-radius: 6px;
  padding: 5px 14px;
}
QPushButton:hover, QToolButton:hover { background: @subtle; }
QPushButton:disabled, QToolButton:disabled { color: @muted; }
QPushButton[prominent="true"] { background: @accent; color: #0F0F0F; border: 1px solid @accent; }
QPushButton[prominent="true"]:disabled { background: @subtle; border: 1px solid @border; color: @muted; }
QPushButton[role="accentText"] { color: @accentText; }
QPushButton[role="destructive"] { color: @danger; }
QPushButton[role="accentText"]:disabled, QPushButton[role="destructive"]:disabled { color: @muted; }
QPushButton[role="link"] {
  background: transparent; border: none; padding: 0px; color: @link; text-decoration: underline;
}
QPushButton[role="segment"] { border-radius: 0px; padding: 4px 14px; }
QPushButton[role="segment"]:checked { background: @accent; color: #0F0F0F; border: 1px solid @accent; }
QToolButton[role="iconButton"] { background: transparent; border: none; padding: 2px; }
QToolButton::menu-indicator { image: none; width: 0px; }
QPushButton::menu-indicator { subcontrol-origin: padding; subcontrol-position: right center; right: 6px; }
QPushButton[role="menu"] { padding-right: 26px; }
QLineEdit {
  background: @surface; color: @text; border: 1px solid @border; border-radius: 6px;
  padding: 5px 7px; selection-background-color: @accent; selection-color: #0F0F0F;
}
QLineEdit:focus { border: 1px solid @accent; }
QLineEdit:disabled { color: @muted; }
QProgressBar { background: @subtle; border: none; border-radius: 3px; max-height: 6px; min-width: 120px; }
QProgressBar::chunk { background: @accent; border-radius: 3px; }
QMenu { background: @surface; color: @text; border: 1px solid @border; padding: 4px; }
QMenu::item { padding: 5px 18px; border-radius: 4px; }
QMenu::item:selected { background: @subtle; }
QMenu::item:disabled { color: @muted; }
QMenu::separator { height: 1px; background: @border; margin: 4px 6px; }
QToolTip { background: @surface; color: @text; border: 1px solid @border; }
QScrollBar:vertical { background: transparent; width: 10px; }
QScrollBar::handle:vertical { background: @border; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }
)");
  const std::pair<const char *, QColor> values[] = {
      {"@background", c.background}, {"@surface", c.surface}, {"@subtle", c.subtle},
      {"@border", c.border},         {"@text", c.text},       {"@muted", c.muted},
      {"@accentText", c.accentText}, {"@accent", c.accent},   {"@danger", c.danger},
  };
  // "@accentText" before "@accent": the longer name must be replaced first.
  for (const auto &[name, color] : values)
    sheet.replace(QLatin1String(name), color.name());
  sheet.replace(QStringLiteral("@link"), link);
  return sheet;
}

void PellumTheme::install() {
  auto *watcher = new ThemeWatcher(qApp);
  qApp->installEventFilter(watcher);
  watcher->apply();
}

} // namespace pellum
