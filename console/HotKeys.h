// System-wide shortcuts: Alt+Z turns left and Alt+X turns right by the big step, from any
// program; with a tilt motor Alt+Q tilts up and Alt+A down. A backend grabs them on the
// desktop at hand; the core only sees named shortcuts.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Motor.h"

namespace tarvik {

enum class Shortcut { TurnLeft, TurnRight, TiltUp, TiltDown };

struct ShortcutInfo {
    Shortcut shortcut;
    const char* id;             // "turn-left", the desktop portal's name for it
    const char* description;    // "Turn the camera left", shown by the desktop
    const char* trigger;        // "Alt+Z"
    const char* portalTrigger;  // "ALT+z", the same in the shortcuts notation of the portal
    char letter;                // 'Z'
    Axis axis;                  // what it does: a big step of this axis that way
    Direction direction;
};

// Every shortcut Tarvik may ask for, in the order they are registered.
inline const std::vector<ShortcutInfo>& Shortcuts() {
    static const std::vector<ShortcutInfo> table = {
        {Shortcut::TurnLeft, "turn-left", "Turn the camera left", "Alt+Z", "ALT+z", 'Z', Axis::Pan,
         Direction::Left},
        {Shortcut::TurnRight, "turn-right", "Turn the camera right", "Alt+X", "ALT+x", 'X',
         Axis::Pan, Direction::Right},
        {Shortcut::TiltUp, "tilt-up", "Tilt the camera up", "Alt+Q", "ALT+q", 'Q', Axis::Tilt, kUp},
        {Shortcut::TiltDown, "tilt-down", "Tilt the camera down", "Alt+A", "ALT+a", 'A', Axis::Tilt,
         kDown}};
    return table;
}

// The shortcuts of the axes a mount has (`has(axis)`), in the table's order.
template <typename Has>
std::vector<ShortcutInfo> ShortcutsFor(Has&& has) {
    std::vector<ShortcutInfo> wanted;
    for (const ShortcutInfo& info : Shortcuts()) {
        if (has(info.axis)) wanted.push_back(info);
    }
    return wanted;
}

inline const ShortcutInfo& InfoOf(Shortcut shortcut) {
    for (const ShortcutInfo& info : Shortcuts()) {
        if (info.shortcut == shortcut) return info;
    }
    return Shortcuts().front();  // every shortcut is in the table
}

// What became of one shortcut.
struct ShortcutState {
    enum class Kind { Held, Pending, TakenByAnotherProgram, Unavailable };
    Shortcut shortcut;
    Kind kind = Kind::Unavailable;
    std::string detail;   // why, when not held
    std::string trigger;  // what presses it, when held and the desktop chose it ("Ctrl+F5")
};

using ShortcutPressed = std::function<void(Shortcut)>;
using ShortcutStatesChanged = std::function<void(const std::vector<ShortcutState>&)>;

class HotKeys {
  public:
    virtual ~HotKeys() = default;
    // Asks for the `wanted` shortcuts and returns what became of them so far, in that order.
    // `pressed` runs on the event loop for each press of one held. A backend that must wait
    // for the desktop (or the user) returns them pending and reports the outcome, and every
    // later change, through `changed`.
    virtual std::vector<ShortcutState> Register(const std::vector<ShortcutInfo>& wanted,
                                                ShortcutPressed pressed,
                                                ShortcutStatesChanged changed) = 0;
    // Gives every held shortcut back.
    virtual void Release() = 0;
    // "X11 key grabs", for the window.
    virtual std::string Backend() const = 0;
    // What the user should know even when every key is held; empty when nothing.
    virtual std::string Limitation() const { return {}; }
};

// Where there is no desktop: every shortcut unavailable, with the reason.
class NoHotKeys : public HotKeys {
  public:
    explicit NoHotKeys(std::string reason) : reason_(std::move(reason)) {}
    std::vector<ShortcutState> Register(const std::vector<ShortcutInfo>& wanted, ShortcutPressed,
                                        ShortcutStatesChanged) override {
        std::vector<ShortcutState> states;
        for (const ShortcutInfo& info : wanted) {
            states.push_back({info.shortcut, ShortcutState::Kind::Unavailable, reason_, {}});
        }
        return states;
    }
    void Release() override {}
    std::string Backend() const override { return "none"; }

  private:
    std::string reason_;
};

}  // namespace tarvik
