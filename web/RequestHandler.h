// One data arrival on a connection, taken as one GET request line.
#pragma once

#include <string>
#include <string_view>

#include "ChatBoard.h"
#include "ConfigFiles.h"
#include "LineList.h"
#include "Motor.h"
#include "WebPlatform.h"

namespace tarvik {

// The path of a request line that begins with "GET": the text after the first "GET " up
// to the next space. Without a space after the path it is empty.
std::string RequestPathOf(std::string_view request);

class RequestHandler {
  public:
    RequestHandler(SharedMotor& motor, const Pages& pages, LineList& requestLog, ChatBoard& chat,
                   const Clock& clock)
        : motor_(motor), pages_(pages), requestLog_(requestLog), chat_(chat), clock_(clock) {}

    // Answers the arrival (or not, when it is no GET) and logs it.
    // Returns whether a reply was sent.
    bool DataArrival(Connection& connection, std::string_view request);

  private:
    bool AnswerTurn(Connection& connection, const std::string& path);
    void Reply(Connection& connection, const std::string& page);
    void Turn(Connection& connection, Axis axis, Direction direction, const std::string& page,
              const std::string& limitPage);
    void ToMiddle(Connection& connection, Axis axis, const std::string& page,
                  const std::string& alreadyPage);

    SharedMotor& motor_;
    const Pages& pages_;
    LineList& requestLog_;
    ChatBoard& chat_;
    const Clock& clock_;
};

}  // namespace tarvik
