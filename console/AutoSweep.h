// The automatic back-and-forth sweep: one big move per tick, reversing at either limit.
#pragma once

#include "Motor.h"
#include "Platform.h"

namespace tarvik {

class AutoSweep {
  public:
    AutoSweep(Motor& motor, Timer& AutoTmr) : motor_(motor), autoTmr_(AutoTmr) {}

    // Switches the sweep on or off; returns whether it is now on.
    bool Toggle();
    bool IsOn() const { return autoTmr_.IsEnabled(); }
    // One sweep move; the handler of AutoTmr.
    void Tick();

    // Heads left while true. Kept when the sweep is switched off and on again.
    bool SweepLeft = false;

  private:
    Motor& motor_;
    Timer& autoTmr_;
};

}  // namespace tarvik
