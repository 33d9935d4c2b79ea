#pragma once

#include <optional>

class QWidget;

namespace pellum {

// Whether a top-level window is listed in the desktop's taskbar and pager. An app that lives in
// the tray keeps its window out of both, as a menu-bar app keeps out of the Dock. Window
// managers are told through the EWMH window state (_NET_WM_STATE_SKIP_TASKBAR and
// _NET_WM_STATE_SKIP_PAGER) on X11; other platforms offer no way to ask, and there nothing
// happens. GUI thread only.
namespace TaskbarPresence {

// Tells the window manager; before the window is mapped (from its show event) the state is set
// as a property that the platform merges into its own, afterwards it is requested from the
// window manager. False where the platform has no such state.
bool apply(QWidget *window, bool listed);

// What the window's state property says, or nothing where it cannot be read (not X11).
std::optional<bool> listed(QWidget *window);

} // namespace TaskbarPresence

} // namespace pellum
