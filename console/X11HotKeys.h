// The shortcuts as key grabs on the X root window, through Qt's own xcb connection, with
// the Caps Lock and Num Lock variants so the locks do not matter. A native event filter
// takes the key presses out of Qt's event stream before any window sees them.
#pragma once

#include <QAbstractNativeEventFilter>
#include <cstdint>

#include "HotKeys.h"

namespace tarvik {

class X11HotKeys : public HotKeys, private QAbstractNativeEventFilter {
  public:
    // Needs a QGuiApplication on xcb; otherwise every key is unavailable. `limitation` says
    // what the grabs cannot do here (on XWayland: reach native Wayland windows).
    explicit X11HotKeys(std::string limitation = {});
    ~X11HotKeys() override;

    std::vector<ShortcutState> Register(const std::vector<ShortcutInfo>& wanted,
                                        ShortcutPressed pressed,
                                        ShortcutStatesChanged changed) override;
    void Release() override;
    std::string Backend() const override { return "X11 key grabs"; }
    std::string Limitation() const override { return limitation_; }

  private:
    struct Grab {
        Shortcut shortcut;
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
    };
    ShortcutState GrabOne(const ShortcutInfo& info);
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    std::string limitation_;
    void* connection_ = nullptr;  // xcb_connection_t*, when on X11
    std::uint32_t root_ = 0;
    std::vector<Grab> held_;
    ShortcutPressed pressed_;
    bool filtering_ = false;
};

}  // namespace tarvik
