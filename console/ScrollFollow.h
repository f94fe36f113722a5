// The scroll bar as the core sees it, and the follow that turns a dragged bar into a move.
//
//   the motor steps ──► the bar is pushed along when the motor passes it (never back)
//   every 20 ms, motor idle ──► bar ≠ ScrollPos? ──► Step(gap) towards the bar
//
// ScrollPos is the bar value the motor was last sent towards, or where the engine last
// pushed the bar; at the end of every move it is where the motor stands. It is read and
// written only under the motor's lock: the step thread pushes the bar, the window drags it.
#pragma once

#include <atomic>
#include <cstdint>

#include "Motor.h"

namespace tarvik {

class ScrollFollow {
  public:
    explicit ScrollFollow(SharedMotor& motor, Axis axis = Axis::Pan) : motor_(motor), axis_(axis) {}

    // Range from the MinStep to the MaxStep value, at `position`. Before any tick runs.
    void Load(int minimum, int maximum, std::int16_t position);

    // The engine's side, under the motor's lock.
    void Stepped(std::int16_t position, Direction direction);
    void MoveEnded(std::int16_t position) { scrollPos_ = position; }

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
    int Value() const { return value_.load(std::memory_order_relaxed); }
    int Minimum() const { return minimum_; }
    int Maximum() const { return maximum_; }
    // Where the follow last sent the motor, read under the motor's lock.
    std::int16_t ScrollPos() const;

  private:
    void SetValue(int value) { value_.store(value, std::memory_order_relaxed); }

    SharedMotor& motor_;
    Axis axis_;
    int minimum_ = 0;
    int maximum_ = 0;
    std::atomic<int> value_{0};
    std::int16_t scrollPos_ = 0;  // under the motor's lock
};

}  // namespace tarvik
