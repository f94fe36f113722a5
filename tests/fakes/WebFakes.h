// Fakes for the web server's seams.
#pragma once

#include <string>
#include <vector>

#include "ChatBoard.h"
#include "ConfigFiles.h"
#include "LineList.h"
#include "Motor.h"
#include "RequestHandler.h"
#include "WebPlatform.h"

namespace tarvik::test {

class FakeConnection : public Connection {
  public:
    explicit FakeConnection(std::string peer = "10.0.0.7") : peer_(std::move(peer)) {}
    // The pieces of one reply are joined: `sent` holds one entry per replied arrival.
    void SendLasting(std::string_view bytes) override { Append(bytes); }
    void SendShared(std::shared_ptr<const std::string> bytes) override { Append(*bytes); }
    void Append(std::string_view bytes) {
        if (sent.empty()) sent.emplace_back();
        sent.back() += bytes;
    }
    std::string PeerText() const override { return peer_; }
    std::vector<std::string> sent;

  private:
    std::string peer_;
};

class FakeClock : public Clock {
  public:
    std::string TimeOfDay() const override { return time; }
    std::string time = "14:03:22";
};

// The request handler with its pages, lists, chat board and clock, around a given motor.
struct WebRig {
    explicit WebRig(Motor& motor) : handler{motor, pages, List1, chat, clock} {}
    Pages pages;
    FakeClock clock;
    LineList List1;
    LineList MsgList;
    ChatBoard chat{MsgList, clock};
    RequestHandler handler;
};

}  // namespace tarvik::test
