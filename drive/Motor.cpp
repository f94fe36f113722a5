#include "Motor.h"

#include <algorithm>
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

Motor::Motor(Axis axis, Timer& stepTimer, MotorListener& listener)
    : axis_(axis), stepTimer_(stepTimer), listener_(listener) {}

void Motor::Load(const AxisSettings& s) {
    middle_ = s.middleStep;
    upper_ = s.upperStep;
    lower_ = s.lowerStep;
    position_ = s.totalSteps;
    phase_ = s.stepPhase;
    bigStep_ = s.bigStep;
}

bool Motor::Step(std::int16_t steps, Direction direction) {
    if (steps == std::numeric_limits<std::int16_t>::min()) return false;
    StartMove(steps, direction, 1);
    return true;
}

void Motor::StartMove(std::int32_t steps, Direction direction, int pace) {
    stepsToGo_ = steps;
    direction_ = direction;
    pace_ = std::max(pace, 1);
    sinceStep_ = pace_ - 1;  // the first half-step comes with the next tick
    moving_ = true;
    stepTimer_.SetEnabled(true);
}

void Motor::ReturnToMiddle() {
    if (moving_ || position_ == middle_) return;
    const std::int32_t distance = std::int32_t{middle_} - position_;
    StartMove(std::abs(distance), distance > 0 ? Direction::Right : Direction::Left, 1);
}

void Motor::MoveTo(std::int16_t target, int pace) {
    const std::int32_t distance = std::int32_t{target} - position_;
    if (distance == 0) {
        Stop();
        return;
    }
    StartMove(std::abs(distance), distance > 0 ? Direction::Right : Direction::Left, pace);
}

void Motor::Stop() {
    if (!moving_) return;
    stepsToGo_ = 0;
    moving_ = false;
    listener_.MoveEnded(axis_, position_);
}

bool Motor::Tick() {
    if (!moving_) return false;  // an expiry that was already due when the move ended
    if (++sinceStep_ < pace_) return false;
    sinceStep_ = 0;
    if (TakeHalfStep()) listener_.Stepped(axis_, position_, direction_);
    if (--stepsToGo_ < 1) {
        moving_ = false;
        listener_.MoveEnded(axis_, position_);
    }
    return true;  // also when no step was taken: the same pattern again
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

// Phases outside 1 to 8 have no pattern.
std::optional<std::uint8_t> Motor::Pattern() const {
    if (phase_ < 1 || phase_ > 8) return std::nullopt;
    return kPhasePattern[phase_ - 1];
}

SharedMotor::SharedMotor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener)
    : coils_(coils),
      stepTimer_(stepTimer),
      pan_(Axis::Pan, stepTimer, listener),
      listener_(listener) {}

void SharedMotor::Load(const AxisSettings& pan, const std::optional<AxisSettings>& tilt) {
    std::scoped_lock lock(mutex_);
    pan_.Load(pan);
    if (tilt) tilt_.emplace(Axis::Tilt, stepTimer_, listener_).Load(*tilt);
    WriteCoils();
}

void SharedMotor::Tick() {
    std::scoped_lock lock(mutex_);
    const bool panMoved = pan_.Tick();
    const bool tiltMoved = tilt_ && tilt_->Tick();
    if (panMoved || tiltMoved) WriteCoils();
    if (!pan_.IsMoving() && !(tilt_ && tilt_->IsMoving())) stepTimer_.SetEnabled(false);
}

// One byte for every motor; nothing when no motor has a phase with a pattern.
void SharedMotor::WriteCoils() {
    const auto pan = pan_.Pattern();
    const auto tilt = tilt_ ? tilt_->Pattern() : std::nullopt;
    if (!pan && !tilt) return;
    coils_.Write(static_cast<std::uint8_t>(pan.value_or(0) | tilt.value_or(0) << 4));
}

}  // namespace tarvik
