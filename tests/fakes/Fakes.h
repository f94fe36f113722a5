// One recording fake per platform seam.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Motor.h"
#include "Platform.h"

namespace tarvik::test {

struct PortWrite {
    std::uint16_t address;
    std::uint8_t value;
    bool operator==(const PortWrite&) const = default;
};

class RecordingPort : public PortWriter {
  public:
    void Out(std::uint16_t address, std::uint8_t value) override {
        writes.push_back({address, value});
    }
    std::vector<std::uint8_t> Values() const {
        std::vector<std::uint8_t> values;
        for (const auto& w : writes) values.push_back(w.value);
        return values;
    }
    std::vector<PortWrite> writes;
};

class FakeTimer : public Timer {
  public:
    void SetEnabled(bool on) override { enabled = on; }
    bool IsEnabled() const override { return enabled; }
    bool enabled = false;
};

// Refuses values outside its range, as the real scroll bar does.
class FakeScrollBar : public ScrollBarModel {
  public:
    int Value() const override { return value; }
    bool SetValue(int v) override {
        if (v < minimum || v > maximum) return false;
        value = v;
        return true;
    }
    void SetRange(int lo, int hi) override {
        minimum = lo;
        maximum = hi;
    }
    int Minimum() const override { return minimum; }
    int Maximum() const override { return maximum; }
    int value = 0;
    int minimum = -32768;
    int maximum = 32767;
};

class RecordingObserver : public MotorObserver {
  public:
    void ShowPosition(std::int16_t position) override { shown.push_back(position); }
    void MoveEnded() override { ++movesEnded; }
    std::vector<std::int16_t> shown;
    int movesEnded = 0;
};

// Settings with a port at 0x378 and the given limits (reachable: lower - 1 to upper + 1).
inline DriveSettings Settings(std::int16_t lower, std::int16_t upper, std::int16_t position,
                              std::int16_t phase = 1, std::int16_t bigStep = 10,
                              std::int16_t middle = 0) {
    DriveSettings s;
    s.portAddress = 888;
    s.LowerStep = lower;
    s.UpperStep = upper;
    s.TotalSteps = position;
    s.StepPhase = phase;
    s.BigStep = bigStep;
    s.MiddleStep = middle;
    return s;
}

// A motor on fakes, with a helper that runs the step timer until it stops.
struct MotorRig {
    RecordingPort port;
    FakeTimer timer;
    FakeScrollBar scroll;
    RecordingObserver observer;
    Motor motor{port, timer, scroll, observer};

    int RunMove(int limit = 100000) {
        int ticks = 0;
        for (; timer.enabled && ticks < limit; ++ticks) motor.Tick();
        return ticks;
    }
};

}  // namespace tarvik::test
