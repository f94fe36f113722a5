// The automatic back-and-forth sweep: one big move per tick, reversing at either limit.
#pragma once

#include "Motor.h"
#include "Timer.h"

namespace tarvik {

class AutoSweep {
  public:
    AutoSweep(SharedMotor& motor, Timer& sweepTimer) : motor_(motor), timer_(sweepTimer) {}

    // Switches the sweep on or off; returns whether it is now on.
    bool Toggle();
    // One sweep move; the work of the 3 s sweep timer. A move still running is replaced.
    void Tick();

  private:
    SharedMotor& motor_;
    Timer& timer_;
    bool headingLeft_ = false;  // kept when the sweep is switched off and on again
};

}  // namespace tarvik
