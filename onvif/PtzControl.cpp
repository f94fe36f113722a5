#include "PtzControl.h"

#include <algorithm>
#include <cmath>

namespace tarvik::onvif {
namespace {

std::int16_t Clamped(double position, const Motor& motor) {
    return static_cast<std::int16_t>(std::clamp(std::lround(position), long{motor.LowestPosition()},
                                                long{motor.HighestPosition()}));
}

}  // namespace

int PaceOf(double speed) {
    constexpr int kSlowest = 100;
    if (speed >= 1) return 1;
    // Tested before dividing: 1 / speed of a tiny speed is beyond what lround can give.
    if (!(speed > 1.0 / kSlowest)) return kSlowest;
    return static_cast<int>(std::clamp(std::lround(1 / speed), 1L, long{kSlowest}));
}

double ToGeneric(std::int16_t position, std::int16_t lowest, std::int16_t highest) {
    if (highest <= lowest) return 0;
    return (position - lowest) * 2.0 / (highest - lowest) - 1;
}

std::int16_t FromGeneric(double x, std::int16_t lowest, std::int16_t highest) {
    const double position = lowest + (std::clamp(x, -1.0, 1.0) + 1) / 2 * (highest - lowest);
    return static_cast<std::int16_t>(std::lround(position));
}

PtzControl::PtzControl(SharedMotor& motors, const OnvifConfig& config)
    : motors_(motors), config_(config) {
    continuousEnd_.setSingleShot(true);
    // A coarse timer may end a move of an hour three minutes late.
    continuousEnd_.setTimerType(Qt::PreciseTimer);
    connect(&continuousEnd_, &QTimer::timeout, this, &PtzControl::Stop);
}

// One critical section for all the axes: a move of both starts on the same tick, and a
// position is read whole.
template <typename Action>
void PtzControl::ForEachAxis(Action&& action) {
    motors_.WithAll([&](SharedMotor::Locked& axes) {
        axes.ForEach([&](Channel& c) { action(c.motor, IndexOf(c.motor.Which())); });
    });
}

PanTilt PtzControl::Position() {
    return GenericOf(Raw());
}

PanTilt PtzControl::GenericOf(const PerAxis<std::int16_t>& raw) {
    PerAxis<double> at{};
    ForEachAxis([&](Motor& m, std::size_t i) {
        at[i] = ToGeneric(raw[i], m.LowestPosition(), m.HighestPosition());
    });
    return {at[0], at[1]};
}

bool PtzControl::Moving() {
    bool moving = false;
    ForEachAxis([&](Motor& m, std::size_t) { moving = moving || m.IsMoving(); });
    return moving;
}

PerAxis<std::int16_t> PtzControl::Raw() {
    PerAxis<std::int16_t> raw{};
    ForEachAxis([&](Motor& m, std::size_t i) { raw[i] = m.Position(); });
    return raw;
}

void PtzControl::AbsoluteMove(std::optional<double> x, std::optional<double> y, double speed) {
    continuousEnd_.stop();
    const PerAxis<std::optional<double>> to{x, y};
    ForEachAxis([&](Motor& m, std::size_t i) {
        if (to[i])
            m.MoveTo(FromGeneric(*to[i], m.LowestPosition(), m.HighestPosition()), PaceOf(speed));
    });
}

void PtzControl::RelativeMove(std::optional<double> x, std::optional<double> y, double speed,
                              bool fov) {
    continuousEnd_.stop();
    const PerAxis<std::optional<double>> by{x, y};
    const PerAxis<std::optional<double>> halfField{config_.HalfFieldSteps(),
                                                   config_.HalfVerticalFieldSteps()};
    ForEachAxis([&](Motor& m, std::size_t i) {
        if (!by[i]) return;
        const double scale =
            fov ? halfField[i].value_or(0) : (m.HighestPosition() - m.LowestPosition()) / 2.0;
        m.MoveTo(Clamped(m.Position() + *by[i] * scale, m), PaceOf(speed));
    });
}

// Towards the end the velocity points to, at its speed; a velocity of 0 stops the axis.
void PtzControl::ContinuousMove(double x, double y, std::chrono::milliseconds timeout) {
    const PerAxis<double> velocity{x, y};
    ForEachAxis([&](Motor& m, std::size_t i) {
        if (velocity[i] == 0) {
            m.Stop();
        } else {
            m.MoveTo(velocity[i] > 0 ? m.HighestPosition() : m.LowestPosition(),
                     PaceOf(std::abs(velocity[i])));
        }
    });
    continuousEnd_.start(timeout);
}

void PtzControl::Stop() {
    continuousEnd_.stop();
    ForEachAxis([](Motor& m, std::size_t) { m.Stop(); });
}

std::optional<std::chrono::milliseconds> PtzControl::ContinuousEndsIn() const {
    if (!continuousEnd_.isActive()) return std::nullopt;
    return continuousEnd_.remainingTimeAsDuration();
}

void PtzControl::GotoHome(double speed) {
    continuousEnd_.stop();
    ForEachAxis(
        [&](Motor& m, std::size_t) { m.MoveTo(Clamped(m.MiddleStep(), m), PaceOf(speed)); });
}

void PtzControl::MoveToRaw(const PerAxis<std::int16_t>& position, double speed) {
    continuousEnd_.stop();
    ForEachAxis([&](Motor& m, std::size_t i) { m.MoveTo(Clamped(position[i], m), PaceOf(speed)); });
}

}  // namespace tarvik::onvif
