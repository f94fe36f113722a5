// A listener and its connections: non-blocking sockets on one epoll set, watched by one
// notifier in the event loop. The socket layer owns the connections; the protocol on top (one
// request per connection, or HTTP/1.1 with keep-alive) only turns the bytes that arrive into
// reply pieces and a verdict on what the connection does next (see SocketProtocol).
//
//   open ──request answered──► answered ──reply written──► open again (keep-alive), closed at
//     │ silent 30 s, or evicted at        │ reply not moving 30 s, or       once, or lingering
//     │ the cap after a grace of 100 ms   │ evicted at the cap once it has  │ peer closed /
//     ▼                                   ▼ not moved for 2 s               ▼ linger over
//   closed ◄──────────────────────────────────────────────────────────────────
//
// Limits that hold under every load:
// - never more open connections than the cap, never more sockets than the descriptor budget
//   (shared by every server of the process), so that a position save always finds the
//   descriptors it needs;
// - when no room can be made, accepting pauses (new connections wait in the kernel's queue)
//   and is tried again by the clock, never on a hope that an event will come;
// - one pass of the event loop does a bounded amount of work, so that turns, saves and
//   signals never wait behind a flood;
// - a reply is never cut by the kernel's reset: a connection closes at once after its last
//   reply only when its peer has sent all it will, else it lingers.
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

// A connection as the socket layer names it to its protocol: its element number and its
// acceptance order, so that a later connection under the same number is never taken for it.
struct ConnectionId {
    int number = 0;
    std::uint64_t sequence = 0;
};

// What a protocol keeps for one connection (the HTTP framing state, say); freed with it.
struct ProtocolState {
    virtual ~ProtocolState() = default;
};

// What a connection does once its protocol has been called. Pieces the protocol sent during
// the call are the reply; they are written in order, from where they are.
struct Verdict {
    enum class Kind {
        NeedMore,   // no whole request yet: more is read
        KeepAlive,  // the reply is written, then the protocol is asked again (Resume)
        Close,      // the reply is written, then the connection ends
        Wait,       // nothing is read or written for `wait`, then the protocol is asked again
    };
    Kind kind = Kind::NeedMore;
    std::chrono::milliseconds wait{};  // with Wait
    // With Close: the peer's whole request was taken and nothing is to follow it, so the
    // socket may close at once when nothing more has arrived, instead of lingering.
    bool requestWhole = false;

    static Verdict NeedMore() { return {}; }
    static Verdict KeepAlive() { return {Kind::KeepAlive}; }
    static Verdict Close(bool requestWhole) { return {Kind::Close, {}, requestWhole}; }
    static Verdict Wait(std::chrono::milliseconds wait) { return {Kind::Wait, wait}; }
};

class SocketProtocol;

class SocketServer : public QObject {
  public:
    class Link;

    SocketServer(std::unique_ptr<SocketProtocol> protocol, DescriptorBudget& budget,
                 ServerLimits limits, QObject* parent = nullptr);
    ~SocketServer() override;
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Listens on `address` (empty: every interface, IPv6 and IPv4). On failure `error`
    // names the cause.
    bool Listen(const std::string& address, std::uint16_t port, QString* error);
    std::uint16_t LocalPort() const;

    int OpenConnections() const { return static_cast<int>(elements_.size()) - lingering_; }
    int LingeringConnections() const { return lingering_; }

    // Asks the protocol again (Resume) about a connection that waits, for its time or for
    // more of a request; what it sends then goes out as any reply. This is how a protocol
    // sends more later on a kept connection. Nothing happens to one whose reply is still
    // being written (a kept-alive one is asked again when it is out) or that is ending.
    // False when the connection is gone.
    bool Wake(ConnectionId id);

  private:
    friend class DescriptorBudget;
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
        bool drained = false;         // the last read took all the socket held
        bool peerClosed = false;      // the peer has shut down its sending side
        bool inputOver = false;       // the whole request was taken; nothing is to follow
        bool registered = false;      // in the epoll set
        bool endsAfterReply = false;  // the connection ends once its reply is written
        std::uint32_t watched = 0;    // the epoll events asked for, when registered
        std::deque<Piece> pending;    // the reply still to write
        std::unique_ptr<ProtocolState> protocol;
        std::chrono::steady_clock::time_point accepted;
        std::chrono::steady_clock::time_point progress;  // last byte read or written
        std::chrono::steady_clock::time_point deadline;
    };
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
    Link LinkTo(int index);

    // Carrying out the protocol's verdicts.
    void Carry(int index, Verdict verdict);
    bool Answered(int index);  // writes the reply queued; true when it is all out at once
    bool WritePending(int index);
    void ReplyWritten(int index);
    void EndWithReply(int index, bool requestWhole);
    void EndAfterReply(int index);
    void StartLinger(int index);  // the sending side is shut down; the socket is closed soon
    void ReadAgain(int index);    // the connection waits for more of a request
    // The connection waits `wait` with nothing read from it, nothing to write, and its
    // deadline moved past the wait; then the protocol is asked again.
    void Hold(int index, std::chrono::milliseconds wait);
    void Free(int index);
    Element* Find(ConnectionId id);
    bool Exists(ConnectionId id) const;

    void CheckLingering();
    void Watch(int index, bool write);
    void PauseAccepting(bool pause);
    void SweepDeadlines();
    int NextElementNumber();

    std::unique_ptr<SocketProtocol> protocol_;
    const bool readsWhileAnswering_;  // the protocol's, asked once
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

// One connection as its protocol sees it while it is called: what it sends is queued as the
// reply. Valid only during the call.
class SocketServer::Link : public Connection {
  public:
    ConnectionId Id() const { return {number_, element_.sequence}; }
    void SendLasting(std::string_view bytes) override {
        if (!bytes.empty()) element_.pending.push_back({nullptr, bytes});
    }
    void SendShared(std::shared_ptr<const std::string> bytes) override {
        const std::string_view view = *bytes;
        if (!view.empty()) element_.pending.push_back({std::move(bytes), view});
    }
    std::string PeerText() const override { return PeerTextOf(element_.peer); }
    // The address and port the peer reached.
    sockaddr_storage LocalAddress() const;
    // The protocol's own state for this connection, kept until it closes; null until kept.
    ProtocolState* State() const { return element_.protocol.get(); }
    void Keep(std::unique_ptr<ProtocolState> state) { element_.protocol = std::move(state); }

  private:
    friend class SocketServer;
    Link(int number, Element& element) : number_(number), element_(element) {}
    int number_;
    Element& element_;
};

// A protocol on the socket layer: bytes in, reply pieces out, and a verdict. It never closes a
// connection nor touches its socket; the socket layer carries the verdict out, ends each
// connection the same way and holds every limit.
class SocketProtocol {
  public:
    virtual ~SocketProtocol() = default;
    // Whether bytes that arrive while a reply is written are read and dropped (so that the
    // peer's end is seen), or left in the kernel for the next request (keep-alive).
    virtual bool ReadsWhileAnswering() const = 0;
    // Bytes arrived on a connection that waits for a request: a read of at most
    // maxArrivalBytes.
    virtual Verdict Arrived(SocketServer::Link& connection, std::string_view bytes) = 0;
    // A kept-alive reply is out, a wait is over, or SocketServer::Wake asked: what next.
    virtual Verdict Resume(SocketServer::Link&) { return Verdict::NeedMore(); }
};

}  // namespace tarvik
