#include "StepSize.h"

#include <limits>

#include "Conversions.h"

namespace tarvik {

// -32768 is refused too: a move of that many steps cannot be counted down.
StepSizeInput ParseStepSize(std::string_view text) {
    const auto value = ToInt16(text);
    if (!value || *value == std::numeric_limits<std::int16_t>::min()) {
        return {std::nullopt, "Not changed: enter a whole number from -32767 to 32767"};
    }
    return {value, {}};
}

std::string BigMoveCaption(std::int16_t BigStep, bool left) {
    return "Turn " + std::to_string(BigStep) + (left ? " steps &left" : " steps &right");
}

}  // namespace tarvik
