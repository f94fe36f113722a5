// Guessing made slow. After five refused logins from one peer (an IPv4 address, or an IPv6
// /64 network, since one host may hold a whole one) every request of that peer waits for its
// turn before it is handled, the right password's too, and the turns come further apart with
// every refusal: 1 s after the fifth, then 2, 4, 8 … up to 60 s. Only one request of the peer
// is handled per turn, however many connections it opens. A peer is forgotten once it logs in,
// or 15 minutes after its last refusal; other peers never wait.
//
//   refusals so far:  0 … 4    5    6    7    8    9     10    11 and more
//   next turn in:     at once  1 s  2 s  4 s  8 s  16 s  32 s  60 s
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace tarvik::onvif {

class LoginThrottle {
  public:
    using Now = std::function<std::chrono::steady_clock::time_point()>;

    explicit LoginThrottle(Now now = std::chrono::steady_clock::now) : now_(std::move(now)) {}

    // Zero: handle the request now (its turn is taken). Otherwise how long until the peer's
    // next turn; ask again then.
    std::chrono::milliseconds WaitBeforeHandling(const std::string& peer);
    // A refused login; the peer's refusals so far.
    int Refused(const std::string& peer);
    void LoggedIn(const std::string& peer);
    // How far apart the peer's turns are now (zero while it has none).
    std::chrono::milliseconds Spacing(const std::string& peer) const;

  private:
    struct Record {
        int refusals = 0;
        std::chrono::steady_clock::time_point nextTurn;
        std::chrono::steady_clock::time_point lastRefusal;
    };
    Record* Find(const std::string& key);
    void MakeRoom();

    Now now_;
    std::map<std::string, Record> peers_;  // by PeerGroup
};

// What the throttle counts a peer as: its IPv4 address, or the first 64 bits of an IPv6 one.
std::string PeerGroup(const std::string& peer);

}  // namespace tarvik::onvif
