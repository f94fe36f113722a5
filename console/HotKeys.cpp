#include "HotKeys.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cctype>
#include <memory>

namespace tarvik {
namespace {

constexpr std::uint16_t kNumLock = XCB_MOD_MASK_2;
constexpr std::uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, kNumLock,
                                           XCB_MOD_MASK_LOCK | kNumLock};

xcb_connection_t* X11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The keycode that carries a letter's keysym (lower or upper case), or 0.
std::uint8_t KeycodeOf(xcb_connection_t* c, std::uint16_t letter) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - first + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&free)> mapping(
        xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<std::uint8_t>(count)),
            nullptr),
        &free);
    if (!mapping) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perCode = mapping->keysyms_per_keycode;
    const xcb_keysym_t lower = static_cast<xcb_keysym_t>(std::tolower(letter));
    for (int code = 0; code < count; ++code) {
        for (int i = 0; i < perCode; ++i) {
            const xcb_keysym_t sym = syms[code * perCode + i];
            if (sym == lower || sym == letter) return static_cast<std::uint8_t>(first + code);
        }
    }
    return 0;
}

std::uint16_t XcbModifiers(std::uint32_t modifiers) {
    return (modifiers & kModAlt) != 0 ? XCB_MOD_MASK_1 : 0;
}

}  // namespace

HotKeys::HotKeys() {
    xcb_connection_t* c = X11Connection();
    if (c == nullptr) return;
    connection_ = c;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

HotKeys::~HotKeys() {
    RemoveHotKeys();
}

bool HotKeys::AddHotKey(std::uint32_t modifiers, std::uint16_t key, QString* error) {
    ++HotKeyCount;
    grabs_.push_back({});
    auto* c = static_cast<xcb_connection_t*>(connection_);
    if (c == nullptr) {
        *error = "not available without an X11 session";
        return false;
    }
    Grab& grab = grabs_.back();
    grab.keycode = KeycodeOf(c, key);
    grab.modifiers = XcbModifiers(modifiers);
    if (grab.keycode == 0) {
        *error = "no such key on this keyboard";
        return false;
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint16_t variant : kLockVariants) {
        cookies.push_back(xcb_grab_key_checked(c, 1, root_, grab.modifiers | variant, grab.keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    bool taken = false;
    for (const auto& cookie : cookies) {
        if (xcb_generic_error_t* failure = xcb_request_check(c, cookie)) {
            taken = true;
            free(failure);
        }
    }
    if (taken) {
        // Give back whatever variants were had, so the other program keeps the key whole.
        for (std::uint16_t variant : kLockVariants) {
            xcb_ungrab_key(c, grab.keycode, root_, grab.modifiers | variant);
        }
        xcb_flush(c);
        *error = "already taken by another program";
        return false;
    }
    grab.held = true;
    return true;
}

void HotKeys::RemoveHotKeys() {
    auto* c = static_cast<xcb_connection_t*>(connection_);
    for (const Grab& grab : grabs_) {
        if (!grab.held || c == nullptr) continue;
        for (std::uint16_t variant : kLockVariants) {
            xcb_ungrab_key(c, grab.keycode, root_, grab.modifiers | variant);
        }
    }
    if (c != nullptr) xcb_flush(c);
    grabs_.clear();
    HotKeyCount = 0;
}

int HotKeys::IdOfKeyPress(const void* xcbEvent) const {
    const auto* event = static_cast<const xcb_generic_event_t*>(xcbEvent);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return 0;
    const auto* press = static_cast<const xcb_key_press_event_t*>(xcbEvent);
    const std::uint16_t relevant = press->state & ~(XCB_MOD_MASK_LOCK | kNumLock);
    for (std::size_t i = 0; i < grabs_.size(); ++i) {
        const Grab& grab = grabs_[i];
        if (grab.held && press->detail == grab.keycode && relevant == grab.modifiers) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

bool WindowProc::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) {
    if (eventType != "xcb_generic_event_t") return false;
    const int id = keys_.IdOfKeyPress(message);
    if (id == 0) return false;
    if (result != nullptr) *result = 0;
    onHotKey_(id);
    return true;
}

}  // namespace tarvik
