#include "SystemClock.h"

#include <ctime>

namespace tarvik {

std::string SystemClock::TimeOfDay() const {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::int64_t SystemClock::UtcSeconds() const {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace tarvik
