// The timer seam through which the logic reaches the platform. Qt and the step thread
// implement it; the tests use a fake that records.
#pragma once

namespace tarvik {

// A repeating timer that is either enabled (ticking) or not.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() const = 0;
};

}  // namespace tarvik
