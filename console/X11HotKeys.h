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
    X11HotKeys();  // needs a QGuiApplication on xcb; otherwise every key is unavailable
    ~X11HotKeys() override;

    std::vector<ShortcutState> Register(std::function<void(Shortcut)> pressed) override;
    void Release() override;
    std::string Backend() const override { return "X11 key grabs"; }

  private:
    struct Grab {
        Shortcut shortcut;
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
    };
    ShortcutState GrabOne(const ShortcutInfo& info);
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    void* connection_ = nullptr;  // xcb_connection_t*, when on X11
    std::uint32_t root_ = 0;
    std::vector<Grab> held_;
    std::function<void(Shortcut)> pressed_;
    bool filtering_ = false;
};

}  // namespace tarvik
