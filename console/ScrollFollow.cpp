#include "ScrollFollow.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace tarvik {

void ScrollFollow::Drag(int value) {
    WithScroll([&](Motor&, ScrollState& scroll) {
        scroll.SetValue(std::clamp(value, scroll.minimum, scroll.maximum));
    });
}

void ScrollFollow::Tick() {
    WithScroll([&](Motor& motor, ScrollState& scroll) {
        if (motor.IsMoving()) return;
        const int gap = scroll.Value() - scroll.sentTo;
        if (gap == 0) return;
        const int count = std::min(std::abs(gap), int{std::numeric_limits<std::int16_t>::max()});
        motor.Step(static_cast<std::int16_t>(count), gap > 0 ? Direction::Right : Direction::Left);
        // Normally the whole gap; when it was wider than one move, the rest comes next time.
        scroll.sentTo = static_cast<std::int16_t>(scroll.sentTo + (gap > 0 ? count : -count));
    });
}

bool ScrollFollow::Center() {
    return WithScroll([&](Motor& motor, ScrollState& scroll) {
        const std::int16_t middle = motor.MiddleStep();
        if (middle < scroll.minimum || middle > scroll.maximum) return false;
        motor.SetPosition(middle);
        scroll.sentTo = middle;
        scroll.SetValue(middle);
        return true;
    });
}

bool ScrollFollow::Settled() {
    return WithScroll([&](Motor& motor, ScrollState& scroll) {
        return !motor.IsMoving() && scroll.Value() == scroll.sentTo;
    });
}

int ScrollFollow::Minimum() {
    return WithScroll([](Motor&, ScrollState& scroll) { return scroll.minimum; });
}

int ScrollFollow::Maximum() {
    return WithScroll([](Motor&, ScrollState& scroll) { return scroll.maximum; });
}

}  // namespace tarvik
