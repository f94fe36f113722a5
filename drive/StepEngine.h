// The step thread: a 1 ms timerfd and nothing else, so that the motor's rhythm does not
// depend on the window, the web server or the chat board. It asks for a low real-time
// priority and, where the limits allow, locks the process's memory.
//
//   main thread / handlers ── SetEnabled(true) ──► timerfd armed ──► step thread: tick()
//   tick() ends the move ── SetEnabled(false) ──► timerfd disarmed; the thread sleeps
//
// A move started from rest takes its first half-step at once, or one period after the last
// tick where that was more recent: never two half-steps closer than one period.
//
// Expiries that were missed are not made up: a burst of steps is what a motor cannot follow.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "Timer.h"

namespace tarvik {

class StepEngine : public Timer {
  public:
    explicit StepEngine(std::function<void()> tick, long periodNs = 1'000'000);
    ~StepEngine() override;
    StepEngine(const StepEngine&) = delete;
    StepEngine& operator=(const StepEngine&) = delete;

    // Arms or disarms the tick. Called only under the motor's lock (from a move's start on
    // any thread, or from the tick itself), which keeps the flag and the timer in step.
    void SetEnabled(bool enabled) override;
    bool IsEnabled() const override { return enabled_; }
    // Ends the thread. No tick runs after this returns.
    void Stop();
    // What the thread got: "real-time priority 10 (SCHED_FIFO), memory locked", or normal
    // priority and why; without a timer, why there is none.
    const std::string& Priority() const { return priority_; }
    // Whether the thread ticks: false when its timer could not be had.
    bool Running() const { return running_; }

  private:
    void Run(std::promise<std::string>* started, const std::string& noTimer);

    std::function<void()> tick_;
    long periodNs_;
    int timer_ = -1;
    int wake_ = -1;
    std::atomic<bool> enabled_{false};
    std::atomic<std::int64_t> lastTickNs_{0};  // steady clock, of the last tick
    std::string priority_;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace tarvik
