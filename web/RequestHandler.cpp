#include "RequestHandler.h"

namespace tarvik {

// With g the 1-based position of the first "GET " (0 when there is none), the path is the
// text from position g + 4 up to the first space at or after position g + 5. Without
// "GET " that reads from the fourth character on: "GETx /a b" gives "x".
std::string RequestPathOf(std::string_view RequestData) {
    const std::size_t found = RequestData.find("GET ");
    const std::size_t g = found == std::string_view::npos ? 0 : found + 1;
    const std::size_t searchFrom = g + 4;  // 0-based index of 1-based position g + 5
    if (searchFrom > RequestData.size()) return {};
    const std::size_t space = RequestData.find(' ', searchFrom);
    if (space == std::string_view::npos) return {};
    const std::size_t start = g + 3;  // 0-based index of 1-based position g + 4
    return std::string(RequestData.substr(start, space - start));
}

bool RequestHandler::DataArrival(Connection& connection, std::string_view RequestData) {
    if (!RequestData.starts_with("GET")) return false;
    const std::string RequestPath = RequestPathOf(RequestData);
    const bool isChat = RequestPath.starts_with("/chat");
    if (RequestPath == "/turn/left") {
        Turn(connection, Direction::Left);
    } else if (RequestPath == "/turn/right") {
        Turn(connection, Direction::Right);
    } else if (RequestPath == "/turn/reset") {
        TurnReset(connection);
    } else if (isChat) {
        chat_.ChatRequest(RequestPath, connection);
    } else {
        Reply(connection, pages_.PageIndex);
    }
    if (!isChat) {
        requestLog_.InsertTop(LogLine(clock_, connection, EscapeControlBytes(RequestPath)));
        requestLog_.TrimTo(kMaxLogLines);
    }
    return true;
}

void RequestHandler::Reply(Connection& connection, const std::string& page) {
    connection.SendLasting(page);
    connection.SendLasting(kCrLf);
}

// The reply is decided and the move started while the motor stands between two ticks.
void RequestHandler::Turn(Connection& connection, Direction direction) {
    const bool left = direction == Direction::Left;
    motor_.With([&](Motor& motor) {
        if (left ? motor.AtLeftEnd() : motor.AtRightEnd()) {
            Reply(connection, left ? pages_.PageMaxLeft : pages_.PageMaxRight);
            return;
        }
        Reply(connection, left ? pages_.PageLeft : pages_.PageRight);
        if (!motor.IsMoving()) motor.BigMove(direction);
    });
}

void RequestHandler::TurnReset(Connection& connection) {
    motor_.With([&](Motor& motor) {
        if (motor.Position() == motor.MiddleStep()) {
            Reply(connection, pages_.PageNoReset);
            return;
        }
        motor.ReturnToMiddle();
        Reply(connection, pages_.PageReset);
    });
}

}  // namespace tarvik
