#pragma once

class QWidget;

namespace pellum {

// Brings a window, or the sheet open on it, to the front with keyboard focus. GUI thread only.
class PellumWindowActivation {
public:
  PellumWindowActivation() = delete;

  // Targets `window`'s top-level window; when a window-modal sheet is open on it, that sheet.
  // A minimised window is restored first. Does nothing without a window.
  static void focus(QWidget *window);
};

} // namespace pellum
