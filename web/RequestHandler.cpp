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
    const bool tilt = motor_.HasTilt();
    if (RequestPath == "/turn/left") {
        Turn(connection, Axis::Pan, Direction::Left, pages_.PageLeft, pages_.PageMaxLeft);
    } else if (RequestPath == "/turn/right") {
        Turn(connection, Axis::Pan, Direction::Right, pages_.PageRight, pages_.PageMaxRight);
    } else if (RequestPath == "/turn/reset") {
        ToMiddle(connection, Axis::Pan, pages_.PageReset, pages_.PageNoReset);
    } else if (tilt && RequestPath == "/turn/up") {
        Turn(connection, Axis::Tilt, kUp, pages_.PageUp, pages_.PageUpLimit);
    } else if (tilt && RequestPath == "/turn/down") {
        Turn(connection, Axis::Tilt, kDown, pages_.PageDown, pages_.PageDownLimit);
    } else if (tilt && RequestPath == "/turn/level") {
        ToMiddle(connection, Axis::Tilt, pages_.PageLevel, pages_.PageNoLevel);
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
void RequestHandler::Turn(Connection& connection, Axis axis, Direction direction,
                          const std::string& page, const std::string& limitPage) {
    motor_.With(axis, [&](Motor& motor) {
        if (direction == Direction::Left ? motor.AtLeftEnd() : motor.AtRightEnd()) {
            Reply(connection, limitPage);
            return;
        }
        Reply(connection, page);
        if (!motor.IsMoving()) motor.BigMove(direction);
    });
}

void RequestHandler::ToMiddle(Connection& connection, Axis axis, const std::string& page,
                              const std::string& alreadyPage) {
    motor_.With(axis, [&](Motor& motor) {
        if (motor.Position() == motor.MiddleStep()) {
            Reply(connection, alreadyPage);
            return;
        }
        motor.ReturnToMiddle();
        Reply(connection, page);
    });
}

}  // namespace tarvik
