// The machine's own timer rhythm, the reference the benchmarks hold Tarvik's against: the
// expiries of a bare 1 ms timerfd at normal priority, time-stamped.
#pragma once

#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace tarvik::bench {

inline std::vector<std::chrono::steady_clock::time_point> BareTimerExpiries(int count) {
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec period{{0, 1000000}, {0, 1000000}};
    ::timerfd_settime(fd, 0, &period, nullptr);
    std::vector<std::chrono::steady_clock::time_point> stamps;
    stamps.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::uint64_t expirations = 0;
        if (::read(fd, &expirations, sizeof expirations) != sizeof expirations) break;
        stamps.push_back(std::chrono::steady_clock::now());
    }
    ::close(fd);
    return stamps;
}

}  // namespace tarvik::bench
