// The stepper motor: its position between two limits and the half-step engine.
//
//   Step(count, dir) ──► StepsToGo, MoveDirection, step timer on
//   each tick:  within limits? ──► phase ±1 (wraps 8↔1), position ±1, scroll bar pushed
//               write the phase's coil pattern, show position, count down, stop at < 1
//
// Every move in the program ends in Step(); the timer executes it one half-step a tick.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ConfigFiles.h"
#include "Platform.h"

namespace tarvik {

// Coil pattern written to D3..D0 for phases 1 to 8; neighbours share one coil.
//   phase  1    2    3    4    5    6    7    8
//   D3..D0 1100 0100 0110 0010 0011 0001 1001 1000
inline constexpr std::uint8_t kPhasePattern[8] = {12, 4, 6, 2, 3, 1, 9, 8};

// The fixed address that receives 0 at exit, whatever the configured port.
inline constexpr std::uint16_t kShutdownPortAddress = 888;

class Motor {
  public:
    Motor(PortWriter& port, Timer& stepTimer, ScrollBarModel& scroll, MotorObserver& observer);

    // Takes over the checked configuration and energises the coils at the stored phase.
    void Load(const DriveSettings& settings);

    // Starts or redirects a move. Refuses a count of -32768, which cannot be counted down.
    bool Step(std::int16_t steps, std::string_view Direction);
    // One half-step; the handler of the step timer.
    void Tick();
    // Writes the coil pattern of a phase; phases outside 1 to 8 write nothing.
    void Stepcount(std::int16_t IntStepcount);

    void BigMoveLeft();   // Step(BigStep, "l")
    void BigMoveRight();  // Step(BigStep, "r")
    // Heads for MiddleStep unless a move is running or the motor is already there.
    void ReturnToMiddle();
    bool IsMoving() const { return stepTimer_.IsEnabled(); }
    // All coils off: 0 to the port the coils are driven on and to the fixed shutdown
    // address, when that is another port.
    void SwitchCoilsOff();

    std::int16_t TotalSteps = 0;
    std::int16_t StepPhase = 1;
    std::string MoveDirection;
    std::int16_t StepsToGo = 0;
    std::int16_t BigStep = 0;
    std::int16_t MiddleStep = 0;
    std::int16_t UpperStep = 0;
    std::int16_t LowerStep = 0;
    std::int16_t ScrollPos = 0;
    std::optional<std::uint16_t> LptAddress;

  private:
    void StepRight();
    void StepLeft();

    PortWriter& port_;
    Timer& stepTimer_;
    ScrollBarModel& scroll_;
    MotorObserver& observer_;
};

// a + b and a - b on 16 bits; nullopt instead of a wrap-around.
std::optional<std::int16_t> Add16(std::int16_t a, std::int16_t b);
std::optional<std::int16_t> Sub16(std::int16_t a, std::int16_t b);

}  // namespace tarvik
