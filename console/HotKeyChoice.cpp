#include "HotKeyChoice.h"

namespace tarvik {

// On X11 the root window grabs see every key press. On Wayland only the compositor does:
// the desktop portal asks it for the shortcuts; grabs through XWayland see only the presses
// that reach X11 windows.
HotKeyChoice ChooseHotKeys(const DesktopSession& session) {
    const bool onX11 = session.qtPlatform == "xcb";
    if (onX11 && !session.waylandSession) return {HotKeyBackend::X11Grabs, {}};
    if (session.waylandSession && session.portalOffersShortcuts) return {HotKeyBackend::Portal, {}};
    if (onX11) {
        return {HotKeyBackend::X11Grabs,
                "the desktop offers no global shortcuts portal, so Alt+Z and Alt+X work only "
                "while an X11 window has the focus"};
    }
    if (session.waylandSession) {
        return {HotKeyBackend::None, "unavailable: the desktop offers no global shortcuts portal"};
    }
    return {HotKeyBackend::None, "not available without an X11 or Wayland session"};
}

}  // namespace tarvik
