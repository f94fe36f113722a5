// The operator's own controls beside the big moves: step size, Center, scroll bar follow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Motor.h"
#include "Platform.h"

namespace tarvik {

// The big step size typed into the box, or why it cannot be used.
struct StepSizeInput {
    std::optional<std::int16_t> value;
    std::string reason;
};
StepSizeInput ParseStepSize(std::string_view text);

// "Turn 50 steps &left" / "Turn 50 steps &right".
std::string BigMoveCaption(std::int16_t BigStep, bool left);

// Declares the current position the middle, moving nothing. Refused (returns false,
// nothing changed) when the middle lies outside the scroll bar's reachable range.
bool CenterHere(Motor& motor, ScrollBarModel& scroll);

// One tick of the scroll bar follow: while the motor is idle a dragged scroll bar starts a
// move towards its value. A gap wider than one move can count is crossed in several moves.
void ScrollFollowTick(Motor& motor, const ScrollBarModel& scroll);

}  // namespace tarvik
