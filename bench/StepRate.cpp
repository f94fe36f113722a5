// Measures the half-step rhythm of a long move in the headless core: every coil write is
// time-stamped. Beside it, in the same process and at the same time, a bare 1 ms timerfd
// thread shows what the machine's timers allow under the same conditions.
//
//   step_rate [--steps N] [--flood LOADGEN] [--tilt 1]
//
// --tilt 1: a tilt motor beside the pan, both moving the whole time; every write carries both.
//
// --flood LOADGEN: 300 idle connections stay open and LOADGEN runs 40 clients that read
//   the chat board (about 0.8 MB) over and over during the move.
// The CPU load of `stress-ng` is set up by the caller (scripts/bench.sh).
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "BareTimer.h"
#include "Station.h"
#include "SystemClock.h"
#include "TcpClient.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimestampCoils : public tarvik::CoilOutput {
  public:
    explicit TimestampCoils(std::size_t expected) { stamps.reserve(expected + 16); }
    void Write(std::uint8_t) override {
        if (stamps.size() < stamps.capacity()) stamps.push_back(Clock::now());
    }
    void SwitchOff() override {}
    std::string Describe() const override { return "time stamps"; }
    std::vector<Clock::time_point> stamps;
};

struct Rhythm {
    double perSecond, p50, p99, p999, max;
};

Rhythm Measure(const std::vector<Clock::time_point>& stamps) {
    std::vector<double> intervals;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        intervals.push_back(
            std::chrono::duration<double, std::milli>(stamps[i] - stamps[i - 1]).count());
    }
    const double span = std::chrono::duration<double>(stamps.back() - stamps.front()).count();
    std::sort(intervals.begin(), intervals.end());
    const auto at = [&](double p) {
        return intervals[static_cast<std::size_t>(p * static_cast<double>(intervals.size() - 1))];
    };
    return {static_cast<double>(intervals.size()) / span, at(0.5), at(0.99), at(0.999),
            intervals.back()};
}

// The reference, started with the measured thread.
std::vector<Clock::time_point> BareTimer(int count, const std::atomic<bool>& go) {
    while (!go) std::this_thread::yield();
    return tarvik::bench::BareTimerExpiries(count);
}

void Print(const char* what, const Rhythm& r) {
    std::printf("%s: %.1f per second  interval ms: p50 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                what, r.perSecond, r.p50, r.p99, r.p999, r.max);
}

}  // namespace

int main(int argc, char** argv) {
    int steps = 5000;
    const char* loadgen = nullptr;
    bool tilt = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--steps") == 0) steps = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--flood") == 0) loadgen = argv[i + 1];
        if (std::strcmp(argv[i], "--tilt") == 0) tilt = std::strcmp(argv[i + 1], "1") == 0;
    }
    QCoreApplication app(argc, argv);
    tarvik::test::TempDir dir;
    dir.WriteConfig(
        {{"/Config/MaxStep.ini", "32000"}, {"/Config/BigStep.ini", std::to_string(steps)}});
    if (tilt) {
        for (const auto& [file, value] : {std::pair{"Middlestep", "0"},
                                          {"MaxStep", "32000"},
                                          {"MinStep", "-32000"},
                                          {"totalsteps", "0"},
                                          {"StepCount", "1"},
                                          {"BigStep", ""}}) {
            dir.Write(std::string("/Config/Tilt/") + file + ".ini",
                      *value ? value : std::to_string(steps));
        }
    }
    dir.WritePages();
    TimestampCoils* coils = nullptr;
    tarvik::NoHotKeys keys("benchmark");
    tarvik::SystemClock clock;
    tarvik::Station station(
        dir.path(),
        [&](const tarvik::DriveSettings&) {
            auto output = std::make_unique<TimestampCoils>(static_cast<std::size_t>(steps) + 1);
            coils = output.get();
            return output;
        },
        keys, clock);
    if (const auto failure = station.Start()) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return 1;
    }
    const std::uint16_t port = station.ListeningPort();
    std::vector<std::unique_ptr<tarvik::test::TcpClient>> idle;
    QProcess flood;
    if (loadgen != nullptr) {
        const std::string line(1000, 'b');
        for (int i = 0; i < 800; ++i) station.ChatList().InsertTop(line);
        for (int i = 0; i < 300; ++i)
            idle.push_back(std::make_unique<tarvik::test::TcpClient>(port));
        flood.start(loadgen, {"--port", QString::number(port), "--path", "/chat", "--concurrency",
                              "40", "--seconds", QString::number(steps / 1000 + 5)});
        flood.waitForStarted();
    }
    std::atomic<bool> go{false};
    std::vector<Clock::time_point> reference;
    std::thread bare([&] { reference = BareTimer(steps, go); });
    coils->stamps.clear();
    go = true;
    station.BigMove(tarvik::Direction::Right);
    if (tilt) station.BigMove(tarvik::kUp, tarvik::Axis::Tilt);  // both in each tick's write
    while (station.IsMoving()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    bare.join();
    const QString floodReport =
        loadgen ? (flood.waitForFinished(60000), QString(flood.readAllStandardOutput())) : "";
    station.Shutdown();
    std::printf("condition: %s%s\n", loadgen ? "web flood" : "as the machine is",
                std::getenv("STEP_RATE_CONDITION") ? std::getenv("STEP_RATE_CONDITION") : "");
    std::printf("priority: %s\n", station.StepPriority().c_str());
    Print("step thread", Measure(coils->stamps));
    Print("bare timerfd", Measure(reference));
    if (loadgen) std::printf("flood: %s", floodReport.toLocal8Bit().constData());
    return 0;
}
