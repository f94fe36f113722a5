// Chat messages: decoding never fails loudly, stored lines carry no control bytes, and the
// reply is the board's lines, each with CR LF, plus one more CR LF.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ChatBoard.h"
#include "WebFakes.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A board with two earlier lines, fresh for each input so that its cost stays flat.
    static tarvik::test::FakeClock clock;
    tarvik::LineList board;
    board.InsertTop("[00:00:00] ::1 first");
    board.InsertTop("[00:00:01] ::1 second");
    tarvik::ChatBoard chat(board, clock);
    const std::string message(reinterpret_cast<const char*>(data), size);

    const std::string decoded = tarvik::URLDecode(message);
    Check(decoded.size() <= message.size());

    tarvik::test::FakeConnection connection;
    chat.ChatRequest("/chat?" + message, connection);
    Check(board.Count() == (message.size() > 0 ? 3u : 2u));
    Check(connection.sent.size() == 1);
    std::string expected;
    for (std::size_t i = 0; i < board.Count(); ++i) {
        for (char c : board.Line(i)) {
            const auto byte = static_cast<unsigned char>(c);
            Check(byte >= 32 && byte != 127);
        }
        expected += board.Line(i) + "\r\n";
    }
    Check(connection.sent[0] == expected + "\r\n");
    return 0;
}
