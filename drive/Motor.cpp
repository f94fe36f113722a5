#include "Motor.h"

#include <cstdlib>
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

Motor::Motor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener)
    : coils_(coils), stepTimer_(stepTimer), listener_(listener) {}

void Motor::Load(const AxisSettings& s) {
    middle_ = s.middleStep;
    upper_ = s.upperStep;
    lower_ = s.lowerStep;
    position_ = s.totalSteps;
    phase_ = s.stepPhase;
    bigStep_ = s.bigStep;
    Energise();
}

bool Motor::Step(std::int16_t steps, Direction direction) {
    if (steps == std::numeric_limits<std::int16_t>::min()) return false;
    StartMove(steps, direction);
    return true;
}

void Motor::StartMove(std::int32_t steps, Direction direction) {
    stepsToGo_ = steps;
    direction_ = direction;
    moving_ = true;
    stepTimer_.SetEnabled(true);
}

void Motor::ReturnToMiddle() {
    if (moving_ || position_ == middle_) return;
    const std::int32_t distance = std::int32_t{middle_} - position_;
    StartMove(std::abs(distance), distance > 0 ? Direction::Right : Direction::Left);
}

void Motor::Tick() {
    if (!moving_) return;  // an expiry that was already due when the move ended
    if (TakeHalfStep()) listener_.Stepped(position_, direction_);
    Energise();  // also when no step was taken: the same pattern again
    --stepsToGo_;
    if (stepsToGo_ < 1) {
        moving_ = false;
        stepTimer_.SetEnabled(false);
        listener_.MoveEnded(position_);
    }
}

// One path for both directions. The limit is tested before the step, so the motor reaches
// UpperStep + 1 and LowerStep - 1 and no further; a phase already out of range that would
// overflow takes no step at all.
bool Motor::TakeHalfStep() {
    const bool right = direction_ == Direction::Right;
    const std::int16_t delta = right ? 1 : -1;
    if (right ? position_ > upper_ : position_ < lower_) return false;
    const auto phase = Add16(phase_, delta);
    const auto position = Add16(position_, delta);
    if (!phase || !position) return false;
    // The wrap fires only on reaching 9 going right or 0 going left.
    phase_ = right && *phase == 9 ? 1 : !right && *phase == 0 ? 8 : *phase;
    position_ = *position;
    return true;
}

// Phases outside 1 to 8 write nothing.
void Motor::Energise() {
    if (phase_ >= 1 && phase_ <= 8) coils_.Write(kPhasePattern[phase_ - 1]);
}

}  // namespace tarvik
