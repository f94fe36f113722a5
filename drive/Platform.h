// The small interfaces through which the drive logic reaches the platform. The window
// implements them with Qt, the tests with recording fakes.
#pragma once

#include <cstdint>

namespace tarvik {

// Writes one byte to the data register of the parallel port at an I/O address.
class PortWriter {
  public:
    virtual ~PortWriter() = default;
    virtual void Out(std::uint16_t address, std::uint8_t value) = 0;
};

// A repeating timer that is either enabled (ticking) or not.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() const = 0;
};

// The horizontal scroll bar that shows and sets the position.
class ScrollBarModel {
  public:
    virtual ~ScrollBarModel() = default;
    virtual int Value() const = 0;
    // Refuses (returns false, keeps the old value) a value outside the range.
    virtual bool SetValue(int value) = 0;
    virtual void SetRange(int minimum, int maximum) = 0;
    virtual int Minimum() const = 0;
    virtual int Maximum() const = 0;
};

// What the engine tells the window as it runs.
class MotorObserver {
  public:
    virtual ~MotorObserver() = default;
    virtual void ShowPosition(std::int16_t TotalSteps) = 0;
    // The step timer has just switched itself off at the end of a move.
    virtual void MoveEnded() = 0;
};

}  // namespace tarvik
