// System-wide shortcuts: Alt+Z turns left and Alt+X turns right by the big step, from any
// program; with a tilt motor Alt+Q tilts up and Alt+A down. A backend grabs them on the
// desktop at hand; the core only sees named shortcuts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvik {

enum class Shortcut { TurnLeft, TurnRight, TiltUp, TiltDown };

struct ShortcutInfo {
    Shortcut shortcut;
    const char* id;             // "turn-left", the desktop portal's name for it
    const char* description;    // "Turn the camera left", shown by the desktop
    const char* trigger;        // "Alt+Z"
    const char* portalTrigger;  // "ALT+z", the same in the shortcuts notation of the portal
    char letter;                // 'Z'
};

// Every shortcut Tarvik may ask for, in the order they are registered.
inline const std::vector<ShortcutInfo>& Shortcuts() {
    static const std::vector<ShortcutInfo> table = {
        {Shortcut::TurnLeft, "turn-left", "Turn the camera left", "Alt+Z", "ALT+z", 'Z'},
        {Shortcut::TurnRight, "turn-right", "Turn the camera right", "Alt+X", "ALT+x", 'X'},
        {Shortcut::TiltUp, "tilt-up", "Tilt the camera up", "Alt+Q", "ALT+q", 'Q'},
        {Shortcut::TiltDown, "tilt-down", "Tilt the camera down", "Alt+A", "ALT+a", 'A'}};
    return table;
}

// The shortcuts of a mount: the pan's two, and the tilt's two where there is a tilt motor.
inline std::vector<ShortcutInfo> ShortcutsFor(bool tilt) {
    std::vector<ShortcutInfo> wanted = Shortcuts();
    if (!tilt) wanted.resize(2);
    return wanted;
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
