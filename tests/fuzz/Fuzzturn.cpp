// The turn and chat server's request path end to end: the input is cut at every 0xFF byte into
// arrivals, each on a connection of its own, through the request handler, the chat board and
// the request log, with the motor ticking between them as the step thread would.
//
// Checks: a reply exactly for each arrival that begins with GET, each ending with CR LF; one
// request log line for each answered arrival that is no chat request, the lists capped; the
// motor never leaves its reachable range.
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
    tarvik::test::WebRig rig;
    rig.Load(tarvik::test::Settings(-9, 9, 0, 1, 4, 2));
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const auto cut = rest.find('\xFF');
        const std::string_view arrival = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        const std::size_t logged = rig.requestLog.Count();
        tarvik::test::FakeConnection connection;
        const bool replied = rig.handler.DataArrival(connection, arrival);
        Check(replied == arrival.starts_with("GET"));
        Check(connection.sent.size() == (replied ? 1u : 0u));
        for (const auto& reply : connection.sent) Check(reply.ends_with("\r\n"));
        const bool chat = replied && tarvik::RequestPathOf(arrival).starts_with("/chat");
        const std::size_t expected =
            replied && !chat ? std::min<std::size_t>(logged + 1, 1000) : logged;
        Check(rig.requestLog.Count() == expected);
        Check(rig.chatList.Count() <= 1000);
        for (int i = 0; i < 7 && rig.timer.enabled; ++i) rig.shared.Tick();
        rig.With([](tarvik::Motor& m) {
            Check(m.Position() >= m.LowestPosition() && m.Position() <= m.HighestPosition());
        });
    }
    return 0;
}
