#include "AutoSweep.h"

namespace tarvik {

bool AutoSweep::Toggle() {
    timer_.SetEnabled(!timer_.IsEnabled());
    return timer_.IsEnabled();
}

void AutoSweep::Tick() {
    motor_.With([this](Motor& motor) {
        // Both tests run in this order, so at a range with no room the left end wins.
        if (motor.Position() >= motor.UpperStep()) headingLeft_ = true;
        if (motor.LowerStep() >= motor.Position()) headingLeft_ = false;
        motor.BigMove(headingLeft_ ? Direction::Left : Direction::Right);
    });
}

}  // namespace tarvik
