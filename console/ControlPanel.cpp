#include "ControlPanel.h"

#include <algorithm>
#include <limits>

#include "Conversions.h"

namespace tarvik {

StepSizeInput ParseStepSize(std::string_view text) {
    const auto value = ToInt16(text);
    if (!value || *value == std::numeric_limits<std::int16_t>::min()) {
        return {std::nullopt, "Not changed: enter a whole number from -32767 to 32767"};
    }
    return {value, {}};
}

std::string BigMoveCaption(std::int16_t BigStep, bool left) {
    return "Turn " + std::to_string(BigStep) + (left ? " steps &left" : " steps &right");
}

bool CenterHere(Motor& motor, ScrollBarModel& scroll) {
    if (motor.MiddleStep < scroll.Minimum() || motor.MiddleStep > scroll.Maximum()) return false;
    motor.TotalSteps = motor.MiddleStep;
    motor.ScrollPos = motor.MiddleStep;
    scroll.SetValue(motor.MiddleStep);
    return true;
}

void ScrollFollowTick(Motor& motor, const ScrollBarModel& scroll) {
    if (motor.IsMoving()) return;
    const int target = scroll.Value();
    const int gap = target - motor.ScrollPos;
    if (gap == 0) return;
    const int count = std::min(std::abs(gap), int{std::numeric_limits<std::int16_t>::max()});
    motor.Step(static_cast<std::int16_t>(count), gap > 0 ? "r" : "l");
    // Normally the whole gap; when it was wider than one move, the rest is taken next time.
    motor.ScrollPos = static_cast<std::int16_t>(motor.ScrollPos + (gap > 0 ? count : -count));
}

}  // namespace tarvik
