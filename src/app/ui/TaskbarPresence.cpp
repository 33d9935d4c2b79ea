#include "TaskbarPresence.h"

#include <QGuiApplication>
#include <QWidget>

#if PELLUM_HAVE_XCB
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#endif

namespace pellum::TaskbarPresence {

#if PELLUM_HAVE_XCB

namespace {

struct FreeReply {
  void operator()(void *reply) const { std::free(reply); }
};

xcb_connection_t *connection() {
  auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(
      xcb_intern_atom_reply(connection, cookie, nullptr));
  return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::vector<xcb_atom_t> states(xcb_connection_t *connection, xcb_window_t window,
                               xcb_atom_t property) {
  const xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, window, property, XCB_ATOM_ATOM, 0, 1024);
  std::unique_ptr<xcb_get_property_reply_t, FreeReply> reply(
      xcb_get_property_reply(connection, cookie, nullptr));
  std::vector<xcb_atom_t> atoms;
  if (reply && reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
    const auto *values = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    atoms.assign(values, values + xcb_get_property_value_length(reply.get()) / 4);
  }
  return atoms;
}

struct Atoms {
  xcb_atom_t state, skipTaskbar, skipPager;
};

Atoms atoms(xcb_connection_t *connection) {
  return {atom(connection, "_NET_WM_STATE"), atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
          atom(connection, "_NET_WM_STATE_SKIP_PAGER")};
}

} // namespace

bool apply(QWidget *window, bool listed) {
  xcb_connection_t *x = connection();
  if (!x || !window || !window->isWindow())
    return false;
  const auto id = static_cast<xcb_window_t>(window->winId());
  const Atoms names = atoms(x);
  if (names.state == XCB_ATOM_NONE)
    return false;
  std::vector<xcb_atom_t> current = states(x, id, names.state);
  std::erase_if(current,
                [&](xcb_atom_t a) { return a == names.skipTaskbar || a == names.skipPager; });
  if (!listed) {
    current.push_back(names.skipTaskbar);
    current.push_back(names.skipPager);
  }
  xcb_change_property(x, XCB_PROP_MODE_REPLACE, id, names.state, XCB_ATOM_ATOM, 32,
                      static_cast<uint32_t>(current.size()), current.data());
  if (window->isVisible()) {
    // A mapped window's state belongs to the window manager: ask it (EWMH client message to
    // the root window; 1 adds, 0 removes; source 1 is a normal application).
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = id;
    event.type = names.state;
    event.data.data32[0] = listed ? 0 : 1;
    event.data.data32[1] = names.skipTaskbar;
    event.data.data32[2] = names.skipPager;
    event.data.data32[3] = 1;
    if (screen)
      xcb_send_event(x, 0, screen->root,
                     XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     reinterpret_cast<const char *>(&event));
  }
  xcb_flush(x);
  return true;
}

std::optional<bool> listed(QWidget *window) {
  xcb_connection_t *x = connection();
  if (!x || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
    return std::nullopt;
  const Atoms names = atoms(x);
  const std::vector<xcb_atom_t> current =
      states(x, static_cast<xcb_window_t>(window->winId()), names.state);
  return std::find(current.begin(), current.end(), names.skipTaskbar) == current.end();
}

#else

bool apply(QWidget *, bool) { return false; }
std::optional<bool> listed(QWidget *) { return std::nullopt; }

#endif

} // namespace pellum::TaskbarPresence
