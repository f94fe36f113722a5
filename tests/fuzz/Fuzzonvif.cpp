// A byte stream into the ONVIF HTTP server as one connection receives it: cut into arrivals,
// pipelining included, through the framing, the SOAP reader, the logins and every service, on
// motors on fakes. The first byte chooses the set-up (bit 0: a user and password, bit 1: a
// tilt, bit 2: a field of view), the second how the rest is cut into arrivals (0: at once).
//
// Checks: each request reaches the handler at most once, with exactly its Content-Length of
// body; every reply is one whole HTTP response; after a reply that closes, nothing more is
// answered; the motors never leave their reachable ranges.
#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "HttpExchange.h"
#include "OnvifService.h"
#include "WebFakes.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// Forwards to the services, checking what the framing hands on.
struct CheckingHandler : tarvik::HttpHandler {
    explicit CheckingHandler(tarvik::HttpHandler& inner) : inner_(inner) {}
    tarvik::HttpResponse Handle(const tarvik::HttpRequest& request) override {
        ++handled;
        bodyBytes += request.body.size();
        // The framing took a Content-Length of digits only, at most a request's size.
        Check(std::stoull(request.Header("content-length")) == request.body.size());
        return inner_.Handle(request);
    }
    std::chrono::milliseconds WaitBeforeHandling(const std::string& peer) override {
        return inner_.WaitBeforeHandling(peer);
    }
    tarvik::HttpHandler& inner_;
    std::size_t handled = 0;
    std::size_t bodyBytes = 0;
};

// One whole response: a status line, headers ending in a blank line, and as many bytes of
// body as its Content-Length says.
void CheckResponse(const std::string& bytes) {
    Check(bytes.starts_with("HTTP/1.1 "));
    const auto end = bytes.find("\r\n\r\n");
    Check(end != std::string::npos);
    const auto at = bytes.find("\r\nContent-Length: ");
    Check(at != std::string::npos && at < end);
    Check(std::stoul(bytes.substr(at + 18)) == bytes.size() - end - 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_onvif";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    if (size < 2) return 0;
    const std::uint8_t setup = data[0], cut = data[1];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    tarvik::test::MotorRig motors;
    std::optional<tarvik::AxisSettings> tilt;
    if (setup & 2) tilt = tarvik::test::Settings(-99, 99, 0);
    motors.shared.Load(tarvik::test::Settings(-999, 999, 0, 1, 10, 300), tilt);
    tarvik::OnvifConfig config;
    if (setup & 4) {
        config.fov = 60;
        config.stepsPerDegree = 10;
    }
    tarvik::onvif::PtzControl ptz(motors.shared, config);
    tarvik::onvif::Presets presets("/nonexistent/Presets.ini");  // kept in memory only
    tarvik::onvif::OnvifAuth auth("admin", "secret");
    tarvik::LineList log;
    tarvik::test::FakeClock clock;
    tarvik::onvif::OnvifService service(config, ptz, presets, (setup & 1) ? &auth : nullptr, log,
                                        clock, {"S", "U", "H"}, [](const std::string&) {});
    CheckingHandler handler(service);
    tarvik::HttpExchange exchange(handler, "10.0.0.9", "10.0.0.2:8899", 8899);

    std::size_t fed = 0, refusedByFraming = 0;
    std::uint32_t random = cut;
    while (fed < stream.size()) {
        random = random * 1103515245u + 12345u;
        const std::size_t piece =
            cut == 0 ? stream.size() : 1 + (random >> 16) % (std::size_t{cut} * 16);
        const std::string_view arrival = stream.substr(fed, piece);
        fed += arrival.size();
        const bool ended = exchange.Ended();
        exchange.Arrived(arrival);
        for (;;) {
            const std::size_t handled = handler.handled;
            auto step = exchange.Next();
            if (step.kind != tarvik::HttpExchange::Step::Kind::Reply) break;
            Check(!ended);
            CheckResponse(step.bytes);
            if (step.close) Check(exchange.Ended());
            // A reply is the handler's for one request, or the framing's own: 405 for a method
            // other than POST, or a refusal that ends the connection.
            Check(handler.handled - handled <= 1);
            if (handler.handled == handled) {
                if (!step.bytes.starts_with("HTTP/1.1 405 ")) Check(step.close);
                ++refusedByFraming;
            }
        }
        for (int i = 0; i < 50 && motors.timer.enabled; ++i) motors.shared.Tick();
    }
    // Each request answered took at least its request line's 16 bytes off the stream, but the
    // one refusal that ended the connection.
    Check((handler.handled + refusedByFraming - 1) * 16 <= stream.size() ||
          handler.handled + refusedByFraming == 0);
    Check(handler.bodyBytes <= stream.size());
    motors.shared.With(tarvik::Axis::Pan, [](tarvik::Motor& m) {
        Check(m.Position() >= m.LowestPosition() && m.Position() <= m.HighestPosition());
    });
    return 0;
}
