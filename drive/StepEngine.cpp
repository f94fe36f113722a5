#include "StepEngine.h"
#include "CrashSwitchOff.h"
#include "FileHelpers.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace tarvik {
namespace {

constexpr int kRealTimePriority = 10;  // low: above ordinary work, below the kernel's own

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Locking the memory keeps the tick from waiting for a page to come back from swap. Only
// where the lock has no size limit: with one, MCL_FUTURE would make later allocations fail.
std::string LockMemory() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) {
        return "memory not locked (RLIMIT_MEMLOCK is limited)";
    }
    if (::mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        return std::string("memory not locked (") + std::strerror(errno) + ")";
    }
    return "memory locked";
}

std::string TakeRealTimePriority() {
    sched_param param{};
    param.sched_priority = kRealTimePriority;
    const int failure = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    if (failure != 0) {
        return std::string("normal priority (no real-time priority: ") + std::strerror(failure) +
               "; RLIMIT_RTPRIO or CAP_SYS_NICE grants it)";
    }
    return "real-time priority " + std::to_string(kRealTimePriority) + " (SCHED_FIFO), " +
           LockMemory();
}

}  // namespace

StepEngine::StepEngine(std::function<void()> tick, long periodNs)
    : tick_(std::move(tick)), periodNs_(periodNs) {
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ >= 0) wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // errno belongs to this thread: the reason is taken here, not on the step thread.
    const std::string noTimer =
        wake_ < 0 ? std::string("no step timer: ") + std::strerror(errno) : std::string();
    std::promise<std::string> started;
    auto priority = started.get_future();
    thread_ = std::thread(&StepEngine::Run, this, &started, noTimer);
    priority_ = priority.get();
    running_ = noTimer.empty();
}

StepEngine::~StepEngine() {
    Stop();
    CloseIfOpen(timer_);
    CloseIfOpen(wake_);
}

void StepEngine::SetEnabled(bool enabled) {
    if (enabled == enabled_.exchange(enabled)) return;
    itimerspec period{};
    if (enabled) {
        period.it_interval.tv_nsec = periodNs_;
        const std::int64_t sinceLast = SteadyNs() - lastTickNs_.load(std::memory_order_relaxed);
        period.it_value.tv_nsec = std::clamp<std::int64_t>(periodNs_ - sinceLast, 1, periodNs_);
    }
    ::timerfd_settime(timer_, 0, &period, nullptr);
}

void StepEngine::Stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    thread_.join();
}

void StepEngine::Run(std::promise<std::string>* started, const std::string& noTimer) {
    const crash::AlternateSignalStack signalStack;  // a crash here still switches the coils off
    started->set_value(noTimer.empty() ? TakeRealTimePriority() : noTimer);
    pollfd watched[2] = {{timer_, POLLIN, 0}, {wake_, POLLIN, 0}};
    while (noTimer.empty()) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[1].revents != 0) return;
        // Reading the flag also orders the tick after everything done before it was set.
        std::uint64_t expirations = 0;
        if (::read(timer_, &expirations, sizeof expirations) == sizeof expirations &&
            enabled_.load(std::memory_order_acquire)) {
            lastTickNs_.store(SteadyNs(), std::memory_order_relaxed);
            tick_();
        }
    }
}

}  // namespace tarvik
