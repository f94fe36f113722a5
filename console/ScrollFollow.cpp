#include "ScrollFollow.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace tarvik {

void ScrollFollow::Load(int minimum, int maximum, std::int16_t position) {
    minimum_ = minimum;
    maximum_ = maximum;
    SetValue(std::clamp<int>(position, minimum, maximum));
    scrollPos_ = static_cast<std::int16_t>(Value());
}

// The bar only follows forwards: a bar already ahead in the direction of travel stays, which
// is what lets a dragged bar pull the motor after it.
void ScrollFollow::Stepped(std::int16_t position, Direction direction) {
    const bool passed = direction == Direction::Right ? Value() < position : position < Value();
    if (!passed || position < minimum_ || position > maximum_) return;
    SetValue(position);
    scrollPos_ = position;
}

void ScrollFollow::Drag(int value) {
    motor_.With(axis_, [&](Motor&) { SetValue(std::clamp(value, minimum_, maximum_)); });
}

void ScrollFollow::Tick() {
    motor_.With(axis_, [&](Motor& motor) {
        if (motor.IsMoving()) return;
        const int gap = Value() - scrollPos_;
        if (gap == 0) return;
        const int count = std::min(std::abs(gap), int{std::numeric_limits<std::int16_t>::max()});
        motor.Step(static_cast<std::int16_t>(count), gap > 0 ? Direction::Right : Direction::Left);
        // Normally the whole gap; when it was wider than one move, the rest comes next time.
        scrollPos_ = static_cast<std::int16_t>(scrollPos_ + (gap > 0 ? count : -count));
    });
}

bool ScrollFollow::Center() {
    return motor_.With(axis_, [&](Motor& motor) {
        const std::int16_t middle = motor.MiddleStep();
        if (middle < minimum_ || middle > maximum_) return false;
        motor.SetPosition(middle);
        scrollPos_ = middle;
        SetValue(middle);
        return true;
    });
}

std::int16_t ScrollFollow::ScrollPos() const {
    return motor_.With(axis_, [&](Motor&) { return scrollPos_; });
}

bool ScrollFollow::Settled() {
    return motor_.With(axis_,
                       [&](Motor& motor) { return !motor.IsMoving() && Value() == scrollPos_; });
}

}  // namespace tarvik
