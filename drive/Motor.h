// The stepper motor: its position between two limits and the half-step engine.
//
//   Step(count, direction) ──► steps to go, direction, step timer on
//   each tick:  inside the limits? ──► phase ±1 (9 → 1 going right, 0 → 8 going left),
//               position ±1;  write the phase's coil pattern;  count down, stop below 1
//
// Every move ends in Step(); the step timer executes it one half-step a tick. The motor is
// not thread-safe by itself: SharedMotor lends it out under one lock, to the step thread for
// a tick and to each handler while it reads or starts a move.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "CoilOutput.h"
#include "ConfigFiles.h"
#include "Platform.h"

namespace tarvik {

// Coil pattern written to D3..D0 for phases 1 to 8; neighbours share one coil.
//   phase  1    2    3    4    5    6    7    8
//   D3..D0 1100 0100 0110 0010 0011 0001 1001 1000
inline constexpr std::uint8_t kPhasePattern[8] = {12, 4, 6, 2, 3, 1, 9, 8};

enum class Direction { Left, Right };

// What the motor tells as it runs; called with the motor's lock held, on the step thread.
class MotorListener {
  public:
    virtual ~MotorListener() = default;
    // A half-step was taken in `direction`, to `position`.
    virtual void Stepped(std::int16_t position, Direction direction) = 0;
    // The step timer has just switched itself off.
    virtual void MoveEnded(std::int16_t position) = 0;
};

class Motor {
  public:
    Motor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener);

    // Takes over the checked configuration and energises the coils at the stored phase.
    void Load(const AxisSettings& settings);

    // Starts or redirects a move. Refuses a count of -32768, which cannot be counted down.
    bool Step(std::int16_t steps, Direction direction);
    void BigMove(Direction direction) { Step(bigStep_, direction); }
    // Heads for the middle unless a move is running or the motor is already there. The way
    // there may be longer than one 16-bit count (up to 65535 half-steps): it is one move.
    void ReturnToMiddle();
    // One half-step; the work of the step timer.
    void Tick();

    // Declares the current position to be `position` (Center); nothing moves.
    void SetPosition(std::int16_t position) { position_ = position; }
    void SetBigStep(std::int16_t steps) { bigStep_ = steps; }

    bool IsMoving() const { return moving_; }
    std::int16_t Position() const { return position_; }
    std::int16_t Phase() const { return phase_; }
    std::int32_t StepsToGo() const { return stepsToGo_; }
    Direction Heading() const { return direction_; }
    std::int16_t BigStep() const { return bigStep_; }
    std::int16_t MiddleStep() const { return middle_; }
    std::int16_t UpperStep() const { return upper_; }
    std::int16_t LowerStep() const { return lower_; }
    // At the MinStep or MaxStep value, where no further step is taken that way.
    bool AtLeftEnd() const { return position_ < lower_; }
    bool AtRightEnd() const { return upper_ < position_; }

  private:
    void StartMove(std::int32_t steps, Direction direction);
    bool TakeHalfStep();
    void Energise();

    CoilOutput& coils_;
    Timer& stepTimer_;
    MotorListener& listener_;
    std::int16_t position_ = 0;
    std::int16_t phase_ = 1;
    Direction direction_ = Direction::Right;
    std::int32_t stepsToGo_ = 0;
    bool moving_ = false;
    std::int16_t bigStep_ = 0;
    std::int16_t middle_ = 0;
    std::int16_t upper_ = 0;
    std::int16_t lower_ = 0;
};

// The motor behind its one lock. Whoever reads or moves it does so inside With(), so every
// handler sees the motor between two ticks, as if there were only one thread.
class SharedMotor {
  public:
    SharedMotor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener)
        : motor_(coils, stepTimer, listener) {}

    template <typename Action>
    decltype(auto) With(Action&& action) {
        std::scoped_lock lock(mutex_);
        return action(motor_);
    }
    void Tick() {
        With([](Motor& motor) { motor.Tick(); });
    }

  private:
    std::mutex mutex_;
    Motor motor_;
};

// a + b and a - b on 16 bits; nullopt instead of a wrap-around.
std::optional<std::int16_t> Add16(std::int16_t a, std::int16_t b);
std::optional<std::int16_t> Sub16(std::int16_t a, std::int16_t b);

}  // namespace tarvik
