// Raw arrival bytes through the request handler, with a motor on fakes. Every reply ends
// with CR LF, the log stays capped, and the motor never leaves its reachable range.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "WebFakes.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The motor carries over from one input to the next; the lists start empty each time,
    // so that an input costs what it holds, not what earlier ones left on the board.
    static tarvik::test::MotorRig motor;
    static bool loaded = false;
    if (!loaded) motor.Load(tarvik::test::Settings(-9, 9, 0, 1, 4, 2));
    loaded = true;
    tarvik::test::WebRig rig;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    tarvik::RequestHandler handler{motor.shared, rig.pages, rig.requestLog, rig.chat, rig.clock};
    tarvik::test::FakeConnection connection;
    const bool answered = handler.DataArrival(connection, bytes);
    Check(answered == (bytes.substr(0, 3) == "GET"));
    Check(connection.sent.size() == (answered ? 1u : 0u));
    for (const auto& reply : connection.sent) Check(reply.size() >= 2 && reply.ends_with("\r\n"));
    Check(rig.requestLog.Count() + rig.chatList.Count() <= 1);
    // Let part of the move run, as the step thread would between arrivals.
    for (int i = 0; i < 7 && motor.timer.enabled; ++i) motor.shared.Tick();
    motor.With([](tarvik::Motor& m) {
        Check(m.Position() >= m.LowerStep() - 1 && m.Position() <= m.UpperStep() + 1);
    });
    return 0;
}
