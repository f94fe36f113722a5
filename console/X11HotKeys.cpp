#include "X11HotKeys.h"

#include <xcb/xcb.h>

#include <QAbstractEventDispatcher>
#include <QGuiApplication>
#include <cctype>
#include <memory>

namespace tarvik {
namespace {

constexpr std::uint16_t kNumLock = XCB_MOD_MASK_2;
constexpr std::uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, kNumLock,
                                           XCB_MOD_MASK_LOCK | kNumLock};
constexpr std::uint16_t kAlt = XCB_MOD_MASK_1;

xcb_connection_t* X11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The keycode that carries a letter's keysym (lower or upper case), or 0.
std::uint8_t KeycodeOf(xcb_connection_t* c, char letter) {
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
    const auto upper = static_cast<xcb_keysym_t>(letter);
    const auto lower = static_cast<xcb_keysym_t>(std::tolower(letter));
    for (int code = 0; code < count; ++code) {
        for (int i = 0; i < perCode; ++i) {
            const xcb_keysym_t sym = syms[code * perCode + i];
            if (sym == lower || sym == upper) return static_cast<std::uint8_t>(first + code);
        }
    }
    return 0;
}

void Ungrab(xcb_connection_t* c, std::uint32_t root, std::uint8_t keycode) {
    for (std::uint16_t variant : kLockVariants) xcb_ungrab_key(c, keycode, root, kAlt | variant);
}

}  // namespace

X11HotKeys::X11HotKeys(std::string limitation) : limitation_(std::move(limitation)) {
    xcb_connection_t* c = X11Connection();
    if (c == nullptr) return;
    connection_ = c;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

X11HotKeys::~X11HotKeys() {
    Release();
}

std::vector<ShortcutState> X11HotKeys::Register(const std::vector<ShortcutInfo>& wanted,
                                                ShortcutPressed pressed, ShortcutStatesChanged) {
    pressed_ = std::move(pressed);
    // The filter goes in before the grabs, so that no press is missed.
    if (connection_ != nullptr && !filtering_) {
        QAbstractEventDispatcher::instance()->installNativeEventFilter(this);
        filtering_ = true;
    }
    std::vector<ShortcutState> states;
    for (const ShortcutInfo& info : wanted) states.push_back(GrabOne(info));
    return states;
}

ShortcutState X11HotKeys::GrabOne(const ShortcutInfo& info) {
    auto* c = static_cast<xcb_connection_t*>(connection_);
    if (c == nullptr) {
        return {info.shortcut,
                ShortcutState::Kind::Unavailable,
                "not available without an X11 session",
                {}};
    }
    const std::uint8_t keycode = KeycodeOf(c, info.letter);
    if (keycode == 0) {
        return {
            info.shortcut, ShortcutState::Kind::Unavailable, "no such key on this keyboard", {}};
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint16_t variant : kLockVariants) {
        cookies.push_back(xcb_grab_key_checked(c, 1, root_, kAlt | variant, keycode,
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
        Ungrab(c, root_, keycode);
        xcb_flush(c);
        return {info.shortcut,
                ShortcutState::Kind::TakenByAnotherProgram,
                "already taken by another program",
                {}};
    }
    held_.push_back({info.shortcut, keycode, kAlt});
    return {info.shortcut, ShortcutState::Kind::Held, {}, info.trigger};
}

void X11HotKeys::Release() {
    auto* c = static_cast<xcb_connection_t*>(connection_);
    if (c != nullptr) {
        for (const Grab& grab : held_) Ungrab(c, root_, grab.keycode);
        xcb_flush(c);
    }
    held_.clear();
    if (filtering_ && QAbstractEventDispatcher::instance() != nullptr) {
        QAbstractEventDispatcher::instance()->removeNativeEventFilter(this);
    }
    filtering_ = false;
}

// The result pointer is read only on Windows; returning true is what swallows the press.
bool X11HotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
    const auto* press = static_cast<const xcb_key_press_event_t*>(message);
    const std::uint16_t relevant = press->state & ~(XCB_MOD_MASK_LOCK | kNumLock);
    for (const Grab& grab : held_) {
        if (press->detail != grab.keycode || relevant != grab.modifiers) continue;
        if (pressed_) pressed_(grab.shortcut);
        return true;
    }
    return false;
}

}  // namespace tarvik
