// The listener and its one-request connections: non-blocking sockets on one epoll set,
// watched by one notifier in the event loop.
//
//   open ──first GET arrival──► answered ──reply written──► lingering ──► closed
//     │ no data for 30 s, or the       │ reply stalled 30 s   │ peer closed / 2 s
//     │ silent one evicted at the cap  │ peer reset           │
//     └──────────────► closed ◄────────┘◄─────────────────────┘
//
// Lingering: the sending side is shut down and what still arrives is read and discarded,
// so that unread request bytes never make the kernel reset a reply the client has not read
// yet. A peer that closes its own sending side after the request still gets the whole
// reply. Lingering sockets do not count as open connections.
//
// Replies are queued as pieces that refer to the pages or to a shared chat reply; nothing
// is copied per connection, so memory is bounded by the board, not by slow readers.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <sys/socket.h>

class QSocketNotifier;

namespace tarvik {

class RequestHandler;

struct WebServerLimits {
    int maxConnections = 100;                  // open (not lingering) at once
    std::int64_t idleTimeoutMs = 30000;        // unanswered without data, or a reply not moving
    std::int64_t lingerMs = 2000;              // after the reply, before the socket is closed
    std::int64_t maxArrivalBytes = 64 * 1024;  // kept of one data arrival
};

class WebServer : public QObject {
  public:
    WebServer(RequestHandler& handler, WebServerLimits limits = {}, QObject* parent = nullptr);
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on every interface, IPv6 and IPv4. On failure `error` names the cause.
    bool Listen(std::uint16_t port, QString* error);
    std::uint16_t LocalPort() const;

    int OpenConnections() const { return static_cast<int>(Winsock1_.size()) - lingering_; }
    int LingeringConnections() const { return lingering_; }
    // Sockets this server may hold at once: what the descriptor limit leaves after a reserve
    // for files, the display and the port, and never more than element numbers can name.
    int DescriptorBudget() const { return descriptorBudget_; }

    std::int32_t SocketCount = 0;  // element number of the newest connection
    std::int32_t ConnCount = 0;    // connection requests since start

  private:
    enum class State { Open, Answered, Lingering };
    struct Piece {
        std::shared_ptr<const std::string> owner;  // null for lasting bytes
        std::string_view bytes;
    };
    struct Element {
        int fd = -1;
        State state = State::Open;
        std::uint64_t sequence = 0;  // acceptance order; also tells stale events apart
        sockaddr_storage peer{};     // IPv4 peers on the dual-stack socket arrive mapped
        bool heard = false;          // any byte arrived
        bool peerClosed = false;     // the peer has shut down its sending side
        bool registered = false;     // in the epoll set
        std::uint32_t watched = 0;   // the epoll events asked for, when registered
        std::deque<Piece> pending;   // the reply still to write
        std::chrono::steady_clock::time_point accepted;
        std::chrono::steady_clock::time_point deadline;
    };
    class ElementConnection;

    void OnEvents();
    int ProcessReadyEvents();  // one epoll_wait's worth; how many events there were
    void OnListenerReadable();
    void OnElementEvent(int index, std::uint32_t events);
    void Accept(int fd, const sockaddr_storage& peer);
    void AcceptAndDropOne();
    bool MakeRoomForOne();
    void BackWithinLimits();
    void HandleArrival(int index);
    void DiscardArrivals(int index);
    void WritePending(int index);
    void StartLinger(int index);
    void CheckLingering();
    void Free(int index);
    void Watch(int index, bool write);
    void PauseAccepting(bool pause);
    void SweepDeadlines();
    int NextElementNumber();
    int OldestWith(State state, bool silentOnly = false, bool pastGraceOnly = false) const;
    void ComputeDescriptorBudget();

    RequestHandler& handler_;
    WebServerLimits limits_;
    int epoll_ = -1;
    int listener_ = -1;
    int spare_ = -1;  // given up to accept and close a connection when descriptors run out
    QSocketNotifier* notifier_ = nullptr;
    bool acceptPaused_ = false;
    std::map<int, Element> Winsock1_;
    std::uint64_t nextSequence_ = 1;
    int lingering_ = 0;
    int descriptorBudget_ = 0;
    std::string arrival_;  // read buffer, kept between arrivals
    QTimer sweep_;
    // Lingering sockets not yet in the epoll set, by element number and sequence.
    std::vector<std::pair<int, std::uint64_t>> lingerChecks_;
    QTimer lingerCheck_;
};

}  // namespace tarvik
