// A listener and its connections: non-blocking sockets on one epoll set, watched by one
// notifier in the event loop. The protocol on top (one request per connection, or HTTP/1.1
// with keep-alive) is a subclass's; this holds what every protocol needs of its sockets.
//
//   open ──request answered──► answered ──reply written──► open again (keep-alive) or lingering
//     │ silent 30 s, or evicted at        │ reply not moving 30 s, or       │ peer closed /
//     │ the cap after a grace of 100 ms   │ evicted at the cap once it has  │ linger over
//     ▼                                   ▼ not moved for 2 s               ▼
//   closed ◄──────────────────────────────────────────────────────────────────
//
// Limits that hold under every load:
// - never more open connections than the cap, never more sockets than the descriptor budget
//   (shared by every server of the process), so that a position save always finds the
//   descriptors it needs;
// - when no room can be made, accepting pauses (new connections wait in the kernel's queue)
//   and is tried again by the clock, never on a hope that an event will come;
// - one pass of the event loop does a bounded amount of work, so that turns, saves and
//   signals never wait behind a flood.
//
// Replies are queued as pieces that refer to the pages or to shared chat chunks; nothing is
// copied per connection, so memory is bounded by the board, not by slow readers.
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
#include <tuple>
#include <vector>

#include <sys/socket.h>

#include "WebPlatform.h"

class QSocketNotifier;

namespace tarvik {

struct ServerLimits {
    int maxConnections = 100;                  // open (not lingering) at once
    std::int64_t idleTimeoutMs = 30000;        // without a request's bytes, or a reply not moving
    std::int64_t stallGraceMs = 2000;          // a reply not moving this long may make room
    std::int64_t lingerMs = 2000;              // after the reply, before the socket is closed
    std::int64_t maxArrivalBytes = 64 * 1024;  // read at once
};

class SocketServer;

// The sockets all servers of the process may hold together: what the descriptor limit leaves
// after those open when the first server listens and a reserve for the position save (a
// temporary file and its folder), a display reconnecting, the port and Qt's own; never more
// than element numbers can name. When it is used up, the connection that can best be spared
// makes room, whichever server holds it: no server can starve another of descriptors.
class DescriptorBudget {
  public:
    bool Full() const { return inUse_ >= Limit(); }
    int Limit() const;
    int InUse() const { return inUse_; }
    void Took() { ++inUse_; }
    void Gave() { --inUse_; }

    void Join(SocketServer* server);
    void Leave(SocketServer* server);
    // Closes the connection that can best be spared among all the servers' (see
    // SocketServer::ChooseVictim); false when none can be.
    bool FreeBestVictim();

  private:
    mutable int limit_ = -1;  // counted when first asked
    int inUse_ = 0;
    std::vector<SocketServer*> servers_;
};

// What a protocol keeps for one connection (the HTTP framing state, say); freed with it.
struct ProtocolState {
    virtual ~ProtocolState() = default;
};

class SocketServer : public QObject {
  public:
    SocketServer(DescriptorBudget& budget, ServerLimits limits, QObject* parent = nullptr);
    ~SocketServer() override;
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Listens on `address` (empty: every interface, IPv6 and IPv4). On failure `error`
    // names the cause.
    bool Listen(const std::string& address, std::uint16_t port, QString* error);
    std::uint16_t LocalPort() const;

    int OpenConnections() const { return static_cast<int>(elements_.size()) - lingering_; }
    int LingeringConnections() const { return lingering_; }

  protected:
    enum class State { Open, Answered, Lingering };
    struct Piece {
        std::shared_ptr<const std::string> owner;  // null for lasting bytes
        std::string_view bytes;
    };
    struct Element {
        int fd = -1;
        State state = State::Open;
        std::uint64_t sequence = 0;   // acceptance order; also tells stale events apart
        sockaddr_storage peer{};      // IPv4 peers on the dual-stack socket arrive mapped
        bool heard = false;           // any byte arrived
        bool peerClosed = false;      // the peer has shut down its sending side
        bool registered = false;      // in the epoll set
        bool endsAfterReply = false;  // the connection ends once its reply is written
        std::uint32_t watched = 0;    // the epoll events asked for, when registered
        std::deque<Piece> pending;    // the reply still to write
        std::unique_ptr<ProtocolState> protocol;
        std::chrono::steady_clock::time_point accepted;
        std::chrono::steady_clock::time_point progress;  // last byte read or written
        std::chrono::steady_clock::time_point deadline;
    };
    // The connection as request handling sees it: what it sends is queued on the element.
    class ElementConnection : public Connection {
      public:
        explicit ElementConnection(Element& element) : element_(element) {}
        void SendLasting(std::string_view bytes) override {
            if (!bytes.empty()) element_.pending.push_back({nullptr, bytes});
        }
        void SendShared(std::shared_ptr<const std::string> bytes) override {
            const std::string_view view = *bytes;
            if (!view.empty()) element_.pending.push_back({std::move(bytes), view});
        }
        std::string PeerText() const override { return PeerTextOf(element_.peer); }

      private:
        Element& element_;
    };

    // The protocol: bytes arrived on an open connection (a read of at most maxArrivalBytes).
    // It may queue a reply and call Answered(); or leave the connection open for more.
    virtual void OnArrival(int index, Element& element, std::string_view data) = 0;
    // The whole reply has been written.
    virtual void OnReplyWritten(int index, Element& element) = 0;

    // Helpers for the protocol.
    void Answered(int index);     // the reply queued is to be written now
    void StartLinger(int index);  // the sending side is shut down; the socket is closed soon
    void Free(int index);
    void ReadAgain(int index);  // the connection waits for more of a request
    // The connection waits `wait` with nothing read from it, nothing to write, and its
    // deadline moved past the wait.
    void Hold(int index, std::chrono::milliseconds wait);
    bool Exists(int index, std::uint64_t sequence) const;
    Element* Find(int index);
    Element* Find(int index, std::uint64_t sequence);
    const ServerLimits& limits() const { return limits_; }
    // Whether bytes that arrive while a reply is written are read (and dropped), or left in
    // the kernel for the next request (keep-alive).
    bool readWhileAnswering_ = true;

  private:
    friend class DescriptorBudget;
    // How readily a connection is closed to make room: lower ranks first.
    using Rank = std::tuple<int, std::int64_t>;
    struct Victim {
        Rank rank;
        int index = 0;  // 0: none
    };

    void OnEvents();
    int ProcessReadyEvents(std::chrono::steady_clock::time_point passEnd);
    void OnListenerReadable(std::chrono::steady_clock::time_point passEnd);
    void OnElementEvent(int index, std::uint32_t events);
    bool MakeRoomForOne();
    bool Full() const;
    Victim ChooseVictim() const;
    void Accept(int fd, const sockaddr_storage& peer);
    void AcceptAndDropOne();
    void ReadArrival(int index);
    void DiscardArrivals(int index);
    void WritePending(int index);
    void CheckLingering();
    void Watch(int index, bool write);
    void PauseAccepting(bool pause);
    void SweepDeadlines();
    int NextElementNumber();

    DescriptorBudget& budget_;
    ServerLimits limits_;
    int epoll_ = -1;
    int listener_ = -1;
    int spare_ = -1;  // given up to accept and close a connection when descriptors run out
    QSocketNotifier* notifier_ = nullptr;
    bool acceptPaused_ = false;
    QTimer resumeAccepting_;           // a pause is tried again by the clock
    std::map<int, Element> elements_;  // by element number; 0 is the listener
    int newestElement_ = 0;
    std::uint64_t nextSequence_ = 1;
    int lingering_ = 0;
    std::string arrival_;  // read buffer, kept between arrivals
    QTimer sweep_;
    // Lingering sockets not yet in the epoll set, by element number and sequence.
    std::vector<std::pair<int, std::uint64_t>> lingerChecks_;
    QTimer lingerCheck_;
};

}  // namespace tarvik
