// The follow that turns a dragged scroll bar into a move. The bar's state is the axis's
// ScrollState, beside its motor under the motors' lock: the step thread pushes the bar along,
// the window drags it, and this follow starts the moves.
//
//   every 20 ms, motor idle ──► bar ≠ where the motor was sent? ──► Step(gap) towards the bar
#pragma once

#include <cstdint>

#include "Motor.h"

namespace tarvik {

class ScrollFollow {
  public:
    explicit ScrollFollow(SharedMotor& motor, Axis axis = Axis::Pan) : motor_(motor), axis_(axis) {}

    // The operator dragged the bar; a value outside the range is clamped.
    void Drag(int value);
    // One tick of the follow: while the motor is idle a dragged bar starts a move towards
    // it. A gap wider than one move can count is crossed in several moves.
    void Tick();
    // Declares the current position the middle, moving nothing. Refused (false, nothing
    // changed) when the middle lies outside the bar's range.
    bool Center();
    // Whether the follow has nothing to do until the bar moves again.
    bool Settled();

    // The bar's value, for the window, from any thread.
    int Value() const { return motor_.ScrollValue(axis_); }
    // The bar's range: the MinStep and MaxStep values.
    int Minimum();
    int Maximum();

  private:
    // Runs `action(motor, scroll)` under the lock; the axis must exist.
    template <typename Action>
    decltype(auto) WithScroll(Action&& action) {
        return motor_.WithAll([&](SharedMotor::Locked& axes) -> decltype(auto) {
            Channel& channel = *axes.Find(axis_);
            return action(channel.motor, channel.scroll);
        });
    }

    SharedMotor& motor_;
    Axis axis_;
};

}  // namespace tarvik
