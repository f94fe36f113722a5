// Which way of getting system-wide shortcuts fits the desktop Tarvik starts on.
#pragma once

#include <string>

namespace tarvik {

struct DesktopSession {
    std::string qtPlatform;  // "xcb", "wayland", "offscreen", …
    bool waylandSession =
        false;  // the user's session is Wayland (XDG_SESSION_TYPE, WAYLAND_DISPLAY)
    bool portalOffersShortcuts = false;  // org.freedesktop.portal.GlobalShortcuts answers
};

enum class HotKeyBackend { X11Grabs, Portal, None };

struct HotKeyChoice {
    HotKeyBackend backend = HotKeyBackend::None;
    // With X11Grabs: what they cannot do here. With None: why there are no hot keys.
    std::string note;
};

HotKeyChoice ChooseHotKeys(const DesktopSession& session);

}  // namespace tarvik
