// Measures the half-step rhythm of a long move in the real window (offscreen): every port
// write is time-stamped.
//
//   step_rate [--steps N] [--web-load | --busy LOADGEN]
//
// --web-load: a client thread keeps the web server busy with sequential requests.
// --busy LOADGEN: the sweep is on and LOADGEN (the load generator) floods /chat, so that the
//   chat list, the scroll follow and the sweep timer all work during the move.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "Cam.h"
#include "TcpClient.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimestampPort : public tarvik::PortWriter {
  public:
    void Out(std::uint16_t, std::uint8_t) override { stamps.push_back(Clock::now()); }
    std::vector<Clock::time_point> stamps;
};

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    bool webLoad = false;
    const char* busyLoadGen = nullptr;
    int steps = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--web-load") == 0) webLoad = true;
        if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) steps = std::atoi(argv[++i]);
        if (std::strcmp(argv[i], "--busy") == 0 && i + 1 < argc) busyLoadGen = argv[++i];
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    tarvik::test::TempDir dir;
    dir.WriteConfig(
        {{"/Config/MaxStep.ini", "32000"}, {"/Config/BigStep.ini", std::to_string(steps)}});
    dir.WritePages();
    TimestampPort port;
    tarvik::Cam cam(dir.path(), port);
    if (const auto failure = cam.Form_Load()) {
        std::fprintf(stderr, "%s\n", failure->toLocal8Bit().constData());
        return 1;
    }
    cam.show();
    QElapsedTimer settle;  // let the first paint and font loading pass before measuring
    settle.start();
    while (settle.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread load;
    if (webLoad) {
        const std::uint16_t webPort = cam.webServer().LocalPort();
        load = std::thread([&] {
            while (!stop) {
                tarvik::test::TcpClient client(webPort);
                client.Send("GET / HTTP/1.1\r\n\r\n");
                if (!client.ReadAll().empty()) ++answered;
            }
        });
    }
    QProcess flood;
    if (busyLoadGen != nullptr) {
        cam.findChild<QPushButton*>("CmdAutoTmr")->click();  // the sweep joins in
        flood.start(busyLoadGen, {"--port", QString::number(cam.webServer().LocalPort()), "--path",
                                  "/chat?busy+board", "--concurrency", "8", "--seconds",
                                  QString::number(steps / 1000 + 5)});
        flood.waitForStarted();
    }
    port.stamps.clear();
    QElapsedTimer wall;
    wall.start();
    cam.Command2_Click();
    // With the sweep on, moves follow each other: measure the first `steps` half-steps.
    while (port.stamps.size() < static_cast<std::size_t>(steps) &&
           (cam.motor().IsMoving() || busyLoadGen != nullptr)) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    stop = true;
    if (load.joinable()) load.join();
    flood.kill();
    flood.waitForFinished();

    std::vector<double> intervals;
    for (std::size_t i = 1; i < port.stamps.size(); ++i) {
        intervals.push_back(
            std::chrono::duration<double, std::milli>(port.stamps[i] - port.stamps[i - 1]).count());
    }
    const double span =
        std::chrono::duration<double>(port.stamps.back() - port.stamps.front()).count();
    std::printf("condition: %s\n", webLoad       ? "web server under sequential load"
                                   : busyLoadGen ? "chat flood, sweep on, scroll follow"
                                                 : "idle");
    std::printf("half-steps: %zu in %.3f s: %.1f per second\n", port.stamps.size(), seconds,
                static_cast<double>(intervals.size()) / span);
    std::printf("interval ms: p50 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                Percentile(intervals, 0.5), Percentile(intervals, 0.99),
                Percentile(intervals, 0.999),
                *std::max_element(intervals.begin(), intervals.end()));
    if (std::getenv("STEP_RATE_OUTLIERS")) {
        for (std::size_t i = 0; i < intervals.size(); ++i) {
            if (intervals[i] > 2.5) std::printf("  tick %zu: %.3f ms\n", i, intervals[i]);
        }
    }
    if (webLoad)
        std::printf("requests answered meanwhile: %d (%.0f per second)\n", answered.load(),
                    answered.load() / seconds);
    return 0;
}
