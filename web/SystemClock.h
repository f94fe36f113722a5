#pragma once

#include "WebPlatform.h"

namespace tarvik {

class SystemClock : public Clock {
  public:
    std::string TimeOfDay() const override;
    std::int64_t UtcSeconds() const override;
};

}  // namespace tarvik
