// The platform's own floor for the step rhythm: a bare 1 ms timerfd loop, no Qt, no work.
// Whatever rate this loses, Tarvik's step timer cannot win back.
//
//   timer_floor [--ticks N]
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    int ticks = 10000;
    if (argc == 3 && std::strcmp(argv[1], "--ticks") == 0) ticks = std::atoi(argv[2]);
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec period{{0, 1000000}, {0, 1000000}};
    ::timerfd_settime(fd, 0, &period, nullptr);
    using Clock = std::chrono::steady_clock;
    std::vector<double> intervals;
    auto previous = Clock::now();
    const auto begin = previous;
    for (int i = 0; i < ticks; ++i) {
        pollfd ready{fd, POLLIN, 0};
        ::poll(&ready, 1, -1);
        std::uint64_t expirations = 0;
        if (::read(fd, &expirations, sizeof expirations) != sizeof expirations) return 1;
        const auto now = Clock::now();
        intervals.push_back(std::chrono::duration<double, std::milli>(now - previous).count());
        previous = now;
    }
    const double seconds = std::chrono::duration<double>(previous - begin).count();
    std::sort(intervals.begin(), intervals.end());
    auto at = [&](double p) {
        return intervals[static_cast<std::size_t>(p * static_cast<double>(intervals.size() - 1))];
    };
    std::printf("ticks per second %.1f  interval ms: p50 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                ticks / seconds, at(0.5), at(0.99), at(0.999), intervals.back());
    return 0;
}
