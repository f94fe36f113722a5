// One recording fake per seam of the drive logic, and a motor on them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CoilOutput.h"
#include "Motor.h"
#include "Timer.h"

namespace tarvik::test {

// Standard input closed, as a service may be started: the next descriptor opened is 0,
// which must work like any other. Reopened when the scope ends.
class StdinClosed {
  public:
    StdinClosed() : saved_(::dup(0)) { ::close(0); }
    ~StdinClosed() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    StdinClosed(const StdinClosed&) = delete;
    StdinClosed& operator=(const StdinClosed&) = delete;

  private:
    int saved_;
};

// Records every pattern; a switch-off is recorded as a write of -1.
class RecordingCoils : public CoilOutput {
  public:
    void Write(std::uint8_t pattern) override { writes.push_back(pattern); }
    void SwitchOff() override { writes.push_back(-1); }
    std::string Describe() const override { return "recording"; }
    std::vector<int> writes;
};

class FakeTimer : public Timer {
  public:
    void SetEnabled(bool on) override { enabled = on; }
    bool IsEnabled() const override { return enabled; }
    bool enabled = false;
};

struct RecordingListener : MotorListener {
    void Stepped(Axis, std::int16_t position, Direction) override { stepped.push_back(position); }
    void MoveEnded(Axis, std::int16_t position) override { ended.push_back(position); }
    std::vector<int> stepped, ended;
};

// Limits reachable from lower - 1 to upper + 1.
inline AxisSettings Settings(std::int16_t lower, std::int16_t upper, std::int16_t position,
                             std::int16_t phase = 1, std::int16_t bigStep = 10,
                             std::int16_t middle = 0) {
    return {.middleStep = middle,
            .upperStep = upper,
            .lowerStep = lower,
            .totalSteps = position,
            .stepPhase = phase,
            .bigStep = bigStep};
}

// A motor on fakes; the test plays the step thread.
struct MotorRig {
    RecordingCoils coils;
    FakeTimer timer;
    RecordingListener listener;
    SharedMotor shared{coils, timer, listener};

    void Load(const AxisSettings& s) {
        shared.Load(s);
        coils.writes.clear();
    }
    template <typename Action>
    decltype(auto) With(Action&& action) {
        return shared.With(std::forward<Action>(action));
    }
    int RunMove(int limit = 100000) {
        int ticks = 0;
        for (; timer.enabled && ticks < limit; ++ticks) shared.Tick();
        return ticks;
    }
    int Position() {
        return With([](Motor& m) { return m.Position(); });
    }
};

}  // namespace tarvik::test
