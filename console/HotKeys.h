// System-wide hot keys: Alt+Z for the big move left, Alt+X for the big move right.
//
// Registration grabs each key on the X root window through Qt's own xcb connection (with
// the Caps Lock and Num Lock variants, so the locks do not matter); a native event filter
// takes the place of a window procedure hook and turns the key presses into actions.
// On a session without X11 the keys are reported as unavailable.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <vector>

namespace tarvik {

// Modifier bit for Alt, as the registration takes it.
inline constexpr std::uint32_t kModAlt = 1;

struct HotKeyEntry {
    std::uint32_t modifiers;
    std::uint16_t key;  // the character code of the letter: 'Z', 'X'
    QString name;       // "Alt+Z"
};

// The keys Tarvik registers, in order; id n is entry n - 1.
inline const std::vector<HotKeyEntry>& HotKeyTable() {
    static const std::vector<HotKeyEntry> table = {{kModAlt, 'Z', "Alt+Z"},
                                                   {kModAlt, 'X', "Alt+X"}};
    return table;
}

// mHotKey: registration bookkeeping. Ids are 1 to HotKeyCount.
class HotKeys {
  public:
    HotKeys();
    ~HotKeys();

    // Registers the next id; false and `error` set when the key cannot be had.
    bool AddHotKey(std::uint32_t modifiers, std::uint16_t key, QString* error);
    // Releases ids 1 to HotKeyCount in ascending order.
    void RemoveHotKeys();

    std::int32_t HotKeyCount = 0;
    // The id of a key press event, or 0 when it is none of ours.
    int IdOfKeyPress(const void* xcbEvent) const;

  private:
    struct Grab {
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
        bool held = false;
    };
    void* connection_ = nullptr;  // xcb_connection_t*, when on X11
    std::uint32_t root_ = 0;
    std::vector<Grab> grabs_;  // index id - 1
};

// mSubClass: the replacement of the window procedure. Installed first at start-up and
// removed last at exit.
class WindowProc : public QAbstractNativeEventFilter {
  public:
    WindowProc(const HotKeys& keys, std::function<void(int)> onHotKey)
        : keys_(keys), onHotKey_(std::move(onHotKey)) {}
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  private:
    const HotKeys& keys_;
    std::function<void(int)> onHotKey_;
};

}  // namespace tarvik
