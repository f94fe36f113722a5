// The big step size typed into the window, and the captions that name it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// The step size typed into the box, or why it cannot be used.
struct StepSizeInput {
    std::optional<std::int16_t> value;
    std::string reason;
};
StepSizeInput ParseStepSize(std::string_view text);

// "Turn 50 steps &left" / "Turn 50 steps &right".
std::string BigMoveCaption(std::int16_t BigStep, bool left);

}  // namespace tarvik
