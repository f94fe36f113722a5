// The stepper motors: each axis's position between two limits and the half-step engine.
//
//   Step(count, direction) ──► steps to go, direction, step timer on
//   each tick, each axis:  its step due? inside the limits? ──► phase ±1 (9 → 1 going up,
//               0 → 8 going down), position ±1;  count down, stop below 1
//   then one write of every axis's coil pattern
//
// Every move ends in Step() (or MoveTo()); the step timer executes it one half-step a tick, or
// one every few ticks at a lower pace. The motors are not thread-safe by themselves:
// SharedMotor lends them out under one lock, to the step thread for a tick and to each handler
// while it reads or starts a move.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "CoilOutput.h"
#include "ConfigFiles.h"
#include "Platform.h"

namespace tarvik {

// Coil pattern of one motor for phases 1 to 8, bits D3..D0; neighbours share one coil.
//   phase  1    2    3    4    5    6    7    8
//   D3..D0 1100 0100 0110 0010 0011 0001 1001 1000
inline constexpr std::uint8_t kPhasePattern[8] = {12, 4, 6, 2, 3, 1, 9, 8};

// Left and down decrease the position, right and up increase it.
enum class Direction { Left, Right };
inline constexpr Direction kDown = Direction::Left;
inline constexpr Direction kUp = Direction::Right;

// The pan motor on D0..D3; the tilt motor, where there is one, on D4..D7.
enum class Axis { Pan, Tilt };

// What the motors tell as they run; called with the lock held, on the step thread (or on
// the thread that stops a move).
class MotorListener {
  public:
    virtual ~MotorListener() = default;
    // A half-step was taken in `direction`, to `position`.
    virtual void Stepped(Axis axis, std::int16_t position, Direction direction) = 0;
    // The axis's move has ended.
    virtual void MoveEnded(Axis axis, std::int16_t position) = 0;
};

class Motor {
  public:
    Motor(Axis axis, Timer& stepTimer, MotorListener& listener);

    // Takes over the checked configuration.
    void Load(const AxisSettings& settings);

    // Starts or redirects a move at full pace. Refuses a count of -32768, which cannot be
    // counted down.
    bool Step(std::int16_t steps, Direction direction);
    void BigMove(Direction direction) { Step(bigStep_, direction); }
    // Heads for the middle unless a move is running or the motor is already there. The way
    // there may be longer than one 16-bit count (up to 65535 half-steps): it is one move.
    void ReturnToMiddle();
    // Starts or redirects a move to `target` (within the reachable range), one half-step
    // every `pace` ticks.
    void MoveTo(std::int16_t target, int pace = 1);
    // Ends a running move where it stands.
    void Stop();
    // The work of the step timer: the half-step due this tick, if any. Returns whether the
    // axis moved this tick, so that its pattern is written.
    bool Tick();

    // Declares the current position to be `position` (Center); nothing moves.
    void SetPosition(std::int16_t position) { position_ = position; }
    void SetBigStep(std::int16_t steps) { bigStep_ = steps; }

    // The coil bits of the current phase (D3..D0); none for a phase outside 1 to 8.
    std::optional<std::uint8_t> Pattern() const;
    bool IsMoving() const { return moving_; }
    std::int16_t Position() const { return position_; }
    std::int16_t Phase() const { return phase_; }
    std::int32_t StepsToGo() const { return stepsToGo_; }
    Direction Heading() const { return direction_; }
    std::int16_t BigStep() const { return bigStep_; }
    std::int16_t MiddleStep() const { return middle_; }
    std::int16_t UpperStep() const { return upper_; }
    std::int16_t LowerStep() const { return lower_; }
    // The ends the motor reaches: the MinStep and MaxStep values.
    std::int16_t LowestPosition() const { return static_cast<std::int16_t>(lower_ - 1); }
    std::int16_t HighestPosition() const { return static_cast<std::int16_t>(upper_ + 1); }
    // At the MinStep or MaxStep value, where no further step is taken that way.
    bool AtLeftEnd() const { return position_ < lower_; }
    bool AtRightEnd() const { return upper_ < position_; }

  private:
    void StartMove(std::int32_t steps, Direction direction, int pace);
    bool TakeHalfStep();

    Axis axis_;
    Timer& stepTimer_;
    MotorListener& listener_;
    std::int16_t position_ = 0;
    std::int16_t phase_ = 1;
    Direction direction_ = Direction::Right;
    std::int32_t stepsToGo_ = 0;
    bool moving_ = false;
    int pace_ = 1;       // ticks per half-step
    int sinceStep_ = 0;  // ticks since the last half-step of this move
    std::int16_t bigStep_ = 0;
    std::int16_t middle_ = 0;
    std::int16_t upper_ = 0;
    std::int16_t lower_ = 0;
};

// The motors behind their one lock, with the coils they share. Whoever reads or moves a motor
// does so inside With(), so every handler sees the motors between two ticks, as if there were
// only one thread. Each tick writes every motor's pattern in one write (the pan's in D0..D3,
// the tilt's in D4..D7), so that no motor ever sees another's half-written byte.
class SharedMotor {
  public:
    SharedMotor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener);

    // Takes over the configuration and energises the coils at the stored phases.
    void Load(const AxisSettings& pan, const std::optional<AxisSettings>& tilt = std::nullopt);

    // Runs `action` on the pan motor under the lock.
    template <typename Action>
    decltype(auto) With(Action&& action) {
        std::scoped_lock lock(mutex_);
        return action(pan_);
    }
    // Runs `action` on the motor of `axis`; the tilt must exist.
    template <typename Action>
    decltype(auto) With(Axis axis, Action&& action) {
        std::scoped_lock lock(mutex_);
        return action(axis == Axis::Tilt ? *tilt_ : pan_);
    }
    bool HasTilt() const { return tilt_.has_value(); }
    void Tick();

  private:
    void WriteCoils();

    std::mutex mutex_;
    CoilOutput& coils_;
    Timer& stepTimer_;
    Motor pan_;
    std::optional<Motor> tilt_;
    MotorListener& listener_;
};

// a + b and a - b on 16 bits; nullopt instead of a wrap-around.
std::optional<std::int16_t> Add16(std::int16_t a, std::int16_t b);
std::optional<std::int16_t> Sub16(std::int16_t a, std::int16_t b);

}  // namespace tarvik
