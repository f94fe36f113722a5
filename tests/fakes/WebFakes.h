// Fakes for the web logic's seams, and the request handler around a motor on fakes.
#pragma once

#include <string>
#include <vector>

#include "ChatBoard.h"
#include "Fakes.h"
#include "RequestHandler.h"

namespace tarvik::test {

// The pieces of one reply are joined: `sent` holds one entry per replied arrival.
class FakeConnection : public Connection {
  public:
    explicit FakeConnection(std::string peer = "10.0.0.7") : peer_(std::move(peer)) {}
    void SendLasting(std::string_view bytes) override { Append(bytes); }
    void SendShared(std::shared_ptr<const std::string> bytes) override {
        Append(*bytes);
        shared.push_back(std::move(bytes));
    }
    std::string PeerText() const override { return peer_; }
    std::vector<std::string> sent;
    std::vector<std::shared_ptr<const std::string>> shared;  // the shared pieces, in order

  private:
    void Append(std::string_view bytes) {
        if (sent.empty()) sent.emplace_back();
        sent.back() += bytes;
    }
    std::string peer_;
};

class FakeClock : public Clock {
  public:
    std::string TimeOfDay() const override { return time; }
    std::int64_t UtcSeconds() const override { return utcSeconds; }
    std::string time = "14:03:22";
    std::int64_t utcSeconds = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
};

struct WebRig : MotorRig {
    Pages pages{"I", {{{"L", "R", "ML", "MR", "RS", "NR"}, {"D", "U", "DL", "UL", "LV", "NL"}}}};
    FakeClock clock;
    LineList requestLog;
    LineList chatList;
    ChatBoard chat{chatList, clock};
    RequestHandler handler{shared, pages, requestLog, chat, clock};

    // The reply to one arrival, or "<none>".
    std::string Request(const std::string& data, const std::string& peer = "10.0.0.7") {
        FakeConnection connection(peer);
        handler.DataArrival(connection, data);
        return connection.sent.empty() ? "<none>" : connection.sent.front();
    }
};

}  // namespace tarvik::test
