// Raw arrival bytes through the request handler, with a motor on fakes. Every reply ends
// with CR LF, the log stays capped, and the motor never leaves its reachable range.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Fakes.h"
#include "RequestHandler.h"
#include "WebFakes.h"

namespace {

// The motor carries over from one input to the next; the lists start empty each time so
// that an input costs what it holds, not what earlier ones left on the board.
struct World : tarvik::test::MotorRig {
    World() { motor.Load(tarvik::test::Settings(-9, 9, 0, 1, 4, 2)); }
    tarvik::Pages pages{"L", "R", "ML", "MR", "I", "RS", "NR"};
    tarvik::test::FakeClock clock;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    tarvik::LineList List1;
    tarvik::LineList MsgList;
    tarvik::ChatBoard chat{MsgList, world.clock};
    tarvik::RequestHandler handler{world.motor, world.pages, List1, chat, world.clock};
    tarvik::test::FakeConnection connection;
    const bool answered = handler.DataArrival(connection, bytes);
    Check(answered == (bytes.substr(0, 3) == "GET"));
    Check(connection.sent.size() == (answered ? 1u : 0u));
    for (const auto& reply : connection.sent) Check(reply.size() >= 2 && reply.ends_with("\r\n"));
    Check(List1.Count() + MsgList.Count() <= 1);
    // Let part of the move run, as the step timer would between arrivals.
    for (int i = 0; i < 7 && world.timer.enabled; ++i) world.motor.Tick();
    Check(world.motor.TotalSteps >= world.motor.LowerStep - 1);
    Check(world.motor.TotalSteps <= world.motor.UpperStep + 1);
    return 0;
}
