#include "AutoSweep.h"

namespace tarvik {

bool AutoSweep::Toggle() {
    autoTmr_.SetEnabled(!autoTmr_.IsEnabled());
    return autoTmr_.IsEnabled();
}

void AutoSweep::Tick() {
    // Both tests run in this order, so at a range with no room the left end wins.
    if (motor_.TotalSteps >= motor_.UpperStep) SweepLeft = true;
    if (motor_.LowerStep >= motor_.TotalSteps) SweepLeft = false;
    if (SweepLeft) {
        motor_.BigMoveLeft();
    } else {
        motor_.BigMoveRight();
    }
}

}  // namespace tarvik
