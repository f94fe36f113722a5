#include "Motor.h"

#include <limits>

namespace tarvik {

std::optional<std::int16_t> Add16(std::int16_t a, std::int16_t b) {
    std::int16_t result = 0;
    if (__builtin_add_overflow(a, b, &result)) return std::nullopt;
    return result;
}

std::optional<std::int16_t> Sub16(std::int16_t a, std::int16_t b) {
    std::int16_t result = 0;
    if (__builtin_sub_overflow(a, b, &result)) return std::nullopt;
    return result;
}

Motor::Motor(PortWriter& port, Timer& stepTimer, ScrollBarModel& scroll, MotorObserver& observer)
    : port_(port), stepTimer_(stepTimer), scroll_(scroll), observer_(observer) {}

void Motor::Load(const DriveSettings& s) {
    LptAddress = s.portAddress;
    MiddleStep = s.MiddleStep;
    UpperStep = s.UpperStep;
    LowerStep = s.LowerStep;
    TotalSteps = s.TotalSteps;
    StepPhase = s.StepPhase;
    Stepcount(StepPhase);
    scroll_.SetRange(LowerStep - 1, UpperStep + 1);
    scroll_.SetValue(TotalSteps);
    ScrollPos = static_cast<std::int16_t>(scroll_.Value());
    observer_.ShowPosition(TotalSteps);
    BigStep = s.BigStep;
}

bool Motor::Step(std::int16_t steps, std::string_view Direction) {
    if (steps == std::numeric_limits<std::int16_t>::min()) return false;
    StepsToGo = steps;
    stepTimer_.SetEnabled(true);
    MoveDirection = Direction;
    return true;
}

void Motor::Tick() {
    if (MoveDirection == "r") {
        StepRight();
    } else if (MoveDirection == "l") {
        StepLeft();
    }
    Stepcount(StepPhase);
    observer_.ShowPosition(TotalSteps);
    const auto left = Sub16(StepsToGo, 1);
    StepsToGo = left.value_or(0);
    if (StepsToGo < 1) {
        stepTimer_.SetEnabled(false);
        // The scroll bar follow measures drags from here: whatever started the move, the
        // motor now stands at TotalSteps, not where the engine last pushed the bar.
        ScrollPos = TotalSteps;
        observer_.MoveEnded();
    }
}

// A phase already out of range that would overflow takes no step at all.
void Motor::StepRight() {
    if (TotalSteps > UpperStep) return;
    const auto phase = Add16(StepPhase, 1);
    const auto position = Add16(TotalSteps, 1);
    if (!phase || !position) return;
    StepPhase = *phase == 9 ? 1 : *phase;
    TotalSteps = *position;
    if (scroll_.Value() < TotalSteps) {
        scroll_.SetValue(TotalSteps);
        ScrollPos = static_cast<std::int16_t>(scroll_.Value());
    }
}

void Motor::StepLeft() {
    if (TotalSteps < LowerStep) return;
    const auto phase = Sub16(StepPhase, 1);
    const auto position = Sub16(TotalSteps, 1);
    if (!phase || !position) return;
    StepPhase = *phase == 0 ? 8 : *phase;
    TotalSteps = *position;
    if (TotalSteps < scroll_.Value()) {
        scroll_.SetValue(TotalSteps);
        ScrollPos = static_cast<std::int16_t>(scroll_.Value());
    }
}

void Motor::Stepcount(std::int16_t IntStepcount) {
    if (IntStepcount < 1 || IntStepcount > 8 || !LptAddress) return;
    port_.Out(*LptAddress, kPhasePattern[IntStepcount - 1]);
}

void Motor::BigMoveLeft() {
    Step(BigStep, "l");
}

void Motor::BigMoveRight() {
    Step(BigStep, "r");
}

void Motor::ReturnToMiddle() {
    if (IsMoving()) return;
    if (TotalSteps < MiddleStep) {
        if (const auto distance = Sub16(MiddleStep, TotalSteps)) Step(*distance, "r");
    } else if (MiddleStep < TotalSteps) {
        if (const auto distance = Sub16(TotalSteps, MiddleStep)) Step(*distance, "l");
    }
}

void Motor::SwitchCoilsOff() {
    if (LptAddress && *LptAddress != kShutdownPortAddress) port_.Out(*LptAddress, 0);
    port_.Out(kShutdownPortAddress, 0);
}

}  // namespace tarvik
