#include "RequestHandler.h"

#include <array>

namespace tarvik {
namespace {

// What each axis answers to: a big step towards its lower or higher end, and the way back to
// its middle.
struct TurnPaths {
    const char* lower;
    const char* higher;
    const char* middle;
};
constexpr PerAxis<TurnPaths> kTurnPaths{{
    {"/turn/left", "/turn/right", "/turn/reset"},
    {"/turn/down", "/turn/up", "/turn/level"},
}};

}  // namespace

// The path is the text after the first "GET " up to the next space, at least one byte long (a
// space right after "GET " belongs to the path). Without "GET " it is read as if the request
// began with it, from the fourth byte on: "GETx /a b" gives "x".
std::string RequestPathOf(std::string_view request) {
    const std::size_t get = request.find("GET ");
    const std::size_t start = get == std::string_view::npos ? 3 : get + 4;
    if (start + 1 > request.size()) return {};
    const std::size_t space = request.find(' ', start + 1);
    if (space == std::string_view::npos) return {};
    return std::string(request.substr(start, space - start));
}

bool RequestHandler::DataArrival(Connection& connection, std::string_view request) {
    if (!request.starts_with("GET")) return false;
    const std::string path = RequestPathOf(request);
    const bool isChat = path.starts_with("/chat");
    if (isChat) {
        chat_.ChatRequest(path, connection);
    } else if (!AnswerTurn(connection, path)) {
        Reply(connection, pages_.index);
    }
    if (!isChat) {
        requestLog_.InsertTop(LogLine(clock_, connection, EscapeControlBytes(path)));
        requestLog_.TrimTo(kMaxLogLines);
    }
    return true;
}

// A turn of an axis the mount has; false for any other path.
bool RequestHandler::AnswerTurn(Connection& connection, const std::string& path) {
    for (const Axis axis : kAxes) {
        if (!motor_.Has(axis)) continue;
        const TurnPaths& paths = kTurnPaths[IndexOf(axis)];
        const AxisPages& pages = pages_.axes[IndexOf(axis)];
        if (path == paths.lower) {
            Turn(connection, axis, Direction::Left, pages.lower, pages.atLowest);
        } else if (path == paths.higher) {
            Turn(connection, axis, Direction::Right, pages.higher, pages.atHighest);
        } else if (path == paths.middle) {
            ToMiddle(connection, axis, pages.middle, pages.atMiddle);
        } else {
            continue;
        }
        return true;
    }
    return false;
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
