// Figures of the ONVIF services in the headless core, in this process:
//   - GetStatus round trips on one keep-alive connection: per second, p50, p99;
//   - from a ContinuousMove request leaving the client to the first coil write: p50, p99;
//   - the step rhythm of a 5000-step move while 20 clients poll GetStatus as fast as they can.
//
//   onvif_bench
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
    TimestampCoils() { stamps.reserve(20000); }
    void Write(std::uint8_t) override {
        const auto now = Clock::now();
        Clock::rep none = 0;
        if (awaiting) firstWrite.compare_exchange_strong(none, now.time_since_epoch().count());
        if (recording && stamps.size() < stamps.capacity()) stamps.push_back(now);
    }
    void SwitchOff() override {}
    std::string Describe() const override { return "time stamps"; }
    std::atomic<bool> awaiting{false};  // the first write from now on is noted
    std::atomic<Clock::rep> firstWrite{0};
    std::atomic<bool> recording{false};
    std::vector<Clock::time_point> stamps;
};

std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string Post(const std::string& operation) {
    const std::string body =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>" + operation +
        "</s:Body></s:Envelope>";
    return "POST /onvif/ptz_service HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
           "application/soap+xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kStatus = Post(
    "<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>profile_1</"
    "ProfileToken></GetStatus>");
const std::string kContinuous = Post(
    "<ContinuousMove xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>profile_1</"
    "ProfileToken><Velocity><PanTilt xmlns=\"http://www.onvif.org/ver10/schema\" x=\"1\" "
    "y=\"0\"/></Velocity></ContinuousMove>");
const std::string kStop = Post(
    "<Stop xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>profile_1</ProfileToken></"
    "Stop>");

// One request and its whole response on a keep-alive connection.
bool Exchange(tarvik::test::TcpClient& client, const std::string& request) {
    client.Send(request);
    std::string data;
    char buffer[65536];
    for (;;) {
        const auto end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto at = data.find("Content-Length: ");
            const std::size_t length = std::strtoul(data.c_str() + at + 16, nullptr, 10);
            if (data.size() >= end + 4 + length) return true;
        }
        const ssize_t n = ::recv(client.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

double At(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.empty()
               ? 0
               : values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double PerSecond(const std::vector<Clock::time_point>& stamps) {
    return static_cast<double>(stamps.size() - 1) / (Ms(stamps.back() - stamps.front()) / 1000);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::uint16_t onvifPort = FreePort();
    tarvik::test::TempDir dir;
    dir.WriteConfig(
        {{"/Config/MaxStep.ini", "32000"},
         {"/Config/BigStep.ini", "5000"},
         {"/Config/Onvif.ini", "port = " + std::to_string(onvifPort) + "\ndiscovery = off\n"}});
    dir.WritePages();
    TimestampCoils* coils = nullptr;
    tarvik::NoHotKeys keys("benchmark");
    tarvik::SystemClock clock;
    tarvik::Station station(
        dir.path(),
        [&](const tarvik::DriveSettings&) {
            auto output = std::make_unique<TimestampCoils>();
            coils = output.get();
            return output;
        },
        keys, clock);
    if (const auto failure = station.Start()) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return 1;
    }
    // Round trips.
    const auto trips = tarvik::test::WhileServing([&] {
        tarvik::test::TcpClient client(onvifPort);
        std::vector<double> latencies;
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end) {
            const auto start = Clock::now();
            if (!Exchange(client, kStatus)) break;
            latencies.push_back(Ms(Clock::now() - start));
        }
        return latencies;
    });
    std::printf("getstatus per_second=%.0f p50_ms=%.3f p99_ms=%.3f\n",
                static_cast<double>(trips.size()) / 3.0, At(trips, 0.5), At(trips, 0.99));
    // From a ContinuousMove to the first coil write.
    const auto moves = tarvik::test::WhileServing([&] {
        tarvik::test::TcpClient client(onvifPort);
        std::vector<double> latencies;
        for (int i = 0; i < 200; ++i) {
            coils->firstWrite = 0;
            coils->awaiting = true;
            const auto sent = Clock::now();
            client.Send(kContinuous);
            while (coils->firstWrite.load() == 0) std::this_thread::yield();
            coils->awaiting = false;
            latencies.push_back(
                Ms(Clock::time_point(Clock::duration(coils->firstWrite.load())) - sent));
            char reply[4096];
            ::recv(client.fd(), reply, sizeof reply, 0);
            Exchange(client, kStop);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return latencies;
    });
    std::printf("continuous_to_coils p50_ms=%.3f p99_ms=%.3f\n", At(moves, 0.5), At(moves, 0.99));
    // The rhythm beside 20 pollers.
    station.ReturnToMiddle();
    while (station.IsMoving()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::atomic<bool> polling{true};
    std::atomic<long> polls{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 20; ++i) {
        pollers.emplace_back([&] {
            tarvik::test::TcpClient client(onvifPort);
            while (polling && Exchange(client, kStatus)) ++polls;
        });
    }
    coils->stamps.clear();
    coils->recording = true;
    std::vector<Clock::time_point> reference;
    std::thread bare([&] { reference = tarvik::bench::BareTimerExpiries(5000); });
    station.BigMove(tarvik::Direction::Right);
    const auto begin = Clock::now();
    while (station.IsMoving()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    polling = false;
    for (std::thread& poller : pollers) poller.join();
    bare.join();
    std::vector<double> intervals;
    for (std::size_t i = 1; i < coils->stamps.size(); ++i) {
        intervals.push_back(Ms(coils->stamps[i] - coils->stamps[i - 1]));
    }
    std::printf(
        "rhythm_with_pollers per_second=%.1f p99_ms=%.3f max_ms=%.3f bare_timer=%.1f "
        "polls_per_second=%.0f\n",
        PerSecond(coils->stamps), At(intervals, 0.99), At(intervals, 1.0), PerSecond(reference),
        static_cast<double>(polls.load()) / seconds);
    station.Shutdown();
    return 0;
}
