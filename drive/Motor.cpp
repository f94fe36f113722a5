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
    if (moving_) EndMove();
}

void Motor::EndMove() {
    stepsToGo_ = 0;
    moving_ = false;
    events_.ended = true;
}

bool Motor::Tick() {
    if (!moving_) return false;  // an expiry that was already due when the move ended
    if (++sinceStep_ < pace_) return false;
    sinceStep_ = 0;
    if (TakeHalfStep()) {
        events_.stepped = true;
        events_.direction = direction_;
    }
    if (--stepsToGo_ < 1) EndMove();
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

void ScrollState::Load(int lowest, int highest, std::int16_t position) {
    minimum = lowest;
    maximum = highest;
    SetValue(std::clamp<int>(position, lowest, highest));
    sentTo = static_cast<std::int16_t>(Value());
}

// The bar only follows forwards: a bar already ahead in the direction of travel stays, which
// is what lets a dragged bar pull the motor after it.
void ScrollState::Stepped(std::int16_t position, Direction direction) {
    const bool passed = direction == Direction::Right ? Value() < position : position < Value();
    if (!passed || position < minimum || position > maximum) return;
    SetValue(position);
    sentTo = position;
}

SharedMotor::SharedMotor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener)
    : coils_(coils),
      stepTimer_(stepTimer),
      channels_{{{Axis::Pan, stepTimer}, {Axis::Tilt, stepTimer}}},
      listener_(listener) {}

void SharedMotor::Load(const PerAxis<std::optional<AxisSettings>>& axes) {
    WithAll([&](Locked&) {
        for (const Axis axis : kAxes) {
            const auto& settings = axes[IndexOf(axis)];
            present_[IndexOf(axis)] = axis == Axis::Pan || settings.has_value();
            if (!settings) continue;
            Channel& channel = channels_[IndexOf(axis)];
            channel.motor.Load(*settings);
            channel.scroll.Load(settings->lowerStep - 1, settings->upperStep + 1,
                                settings->totalSteps);
        }
        WriteCoils();
    });
}

void SharedMotor::Tick() {
    WithAll([this](Locked& axes) {
        bool moved = false, moving = false;
        axes.ForEach([&](Channel& channel) {
            moved = channel.motor.Tick() || moved;
            moving = moving || channel.motor.IsMoving();
        });
        if (moved) WriteCoils();
        if (!moving) stepTimer_.SetEnabled(false);
    });
}

// Under the lock: the scroll bars follow what their motors did, and what is to be said is
// noted for after the lock.
void SharedMotor::Collect(Told& told) {
    for (const Axis axis : kAxes) {
        if (!Has(axis)) continue;
        Channel& channel = channels_[IndexOf(axis)];
        const Motor::Events events = channel.motor.TakeEvents();
        const std::int16_t position = channel.motor.Position();
        if (events.stepped) channel.scroll.Stepped(position, events.direction);
        if (events.ended) channel.scroll.MoveEnded(position);
        told.events[IndexOf(axis)] = events;
        told.positions[IndexOf(axis)] = position;
    }
}

void SharedMotor::Announce(const Told& told) {
    for (const Axis axis : kAxes) {
        const Motor::Events& events = told.events[IndexOf(axis)];
        const std::int16_t position = told.positions[IndexOf(axis)];
        if (events.stepped) listener_.Stepped(axis, position, events.direction);
        if (events.ended) listener_.MoveEnded(axis, position);
    }
}

// One byte for every motor, each at its data lines; nothing when no motor has a phase with a
// pattern.
void SharedMotor::WriteCoils() {
    std::uint8_t byte = 0;
    bool any = false;
    for (const Axis axis : kAxes) {
        if (!Has(axis)) continue;
        const auto pattern = channels_[IndexOf(axis)].motor.Pattern();
        if (!pattern) continue;
        any = true;
        byte = static_cast<std::uint8_t>(byte | *pattern << InfoOf(axis).firstDataLine);
    }
    if (any) coils_.Write(byte);
}

}  // namespace tarvik
