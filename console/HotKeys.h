// System-wide shortcuts: Alt+Z turns left and Alt+X turns right by the big step, from any
// program. A backend grabs them on the desktop at hand; the core only sees named shortcuts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvik {

enum class Shortcut { TurnLeft, TurnRight };

struct ShortcutInfo {
    Shortcut shortcut;
    const char* name;     // "turn left"
    const char* trigger;  // "Alt+Z"
    char letter;          // 'Z'
};

// The shortcuts Tarvik asks for, in the order they are registered.
inline const std::vector<ShortcutInfo>& Shortcuts() {
    static const std::vector<ShortcutInfo> table = {
        {Shortcut::TurnLeft, "turn left", "Alt+Z", 'Z'},
        {Shortcut::TurnRight, "turn right", "Alt+X", 'X'}};
    return table;
}

// What became of one shortcut.
struct ShortcutState {
    enum class Kind { Held, TakenByAnotherProgram, Unavailable };
    Shortcut shortcut;
    Kind kind = Kind::Unavailable;
    std::string detail;  // why, when not held
};

class HotKeys {
  public:
    virtual ~HotKeys() = default;
    // Grabs every shortcut; `pressed` runs on the event loop for each press of one held.
    virtual std::vector<ShortcutState> Register(std::function<void(Shortcut)> pressed) = 0;
    // Gives every held shortcut back.
    virtual void Release() = 0;
    // "X11 key grabs", for the window.
    virtual std::string Backend() const = 0;
};

// Where there is no desktop: every shortcut unavailable, with the reason.
class NoHotKeys : public HotKeys {
  public:
    explicit NoHotKeys(std::string reason) : reason_(std::move(reason)) {}
    std::vector<ShortcutState> Register(std::function<void(Shortcut)>) override {
        std::vector<ShortcutState> states;
        for (const ShortcutInfo& info : Shortcuts()) {
            states.push_back({info.shortcut, ShortcutState::Kind::Unavailable, reason_});
        }
        return states;
    }
    void Release() override {}
    std::string Backend() const override { return "none"; }

  private:
    std::string reason_;
};

}  // namespace tarvik
