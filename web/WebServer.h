// The listener and its one-request connections, on Qt Network in the one event loop.
//
//   accepted ──first arrival──► answered ──reply handed to the kernel──► lingering ──► freed
//      │ no data for 30 s, or evicted at the cap          │ stalled 30 s     │ peer closed / 2 s
//      └──────────────► freed ◄──────────────────────────┘◄─────────────────┘
//
// Lingering: the sending side is shut down and what still arrives is read and discarded,
// so that unread request bytes never make the kernel reset a reply the client has not
// read yet. Lingering sockets do not count as open connections.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace tarvik {

class RequestHandler;

struct WebServerLimits {
    int maxConnections = 100;            // open (not lingering) at once
    qint64 idleTimeoutMs = 30000;        // unanswered without data, or a reply not moving
    qint64 lingerMs = 2000;              // after the reply, before the socket is closed
    qint64 maxArrivalBytes = 64 * 1024;  // kept of one data arrival
};

class WebServer : public QObject {
    Q_OBJECT
  public:
    WebServer(RequestHandler& handler, WebServerLimits limits = {}, QObject* parent = nullptr);
    ~WebServer() override;

    // Listens on every interface, IPv4 and IPv6. On failure `error` names the cause.
    bool Listen(std::uint16_t port, QString* error);
    std::uint16_t LocalPort() const;

    // Called before each socket event is handled. A busy server handles many socket events
    // in one pass of the event loop; this lets the step timer have its turn between them.
    void SetBetweenEvents(std::function<void()> hook) { betweenEvents_ = std::move(hook); }

    int OpenConnections() const { return static_cast<int>(Winsock1_.size()) - lingering_; }
    int LingeringConnections() const { return lingering_; }

    std::int32_t SocketCount = 0;  // element number of the newest connection
    std::int32_t ConnCount = 0;    // connection requests since start

  private:
    enum class State { Open, Answered, Lingering };
    struct Element {
        QTcpSocket* socket = nullptr;
        std::string peer;  // its IP address, as the log lines show it
        State state = State::Open;
        std::uint64_t sequence = 0;  // acceptance order
        qint64 deadline = 0;         // ms on clock_
    };

    void OnNewConnection();
    void OnAcceptError();
    void Accept(QTcpSocket* socket);
    void OnReadyRead(int index);
    void OnBytesWritten(int index);
    void StartLinger(int index);
    void Free(int index);
    void SweepDeadlines();
    void MakeRoomForOne();
    int NextElementNumber();
    int OldestWith(State state) const;
    int DescriptorBudget() const;
    void BuryFreed();

    RequestHandler& handler_;
    WebServerLimits limits_;
    QTcpServer* server_;
    std::map<int, Element> Winsock1_;
    std::uint64_t nextSequence_ = 0;
    std::function<void()> betweenEvents_;
    int lingering_ = 0;
    int descriptorBudget_ = 0;        // read once at Listen(): the limit does not change later
    std::vector<QTcpSocket*> freed_;  // deleted together, outside their own signals
    QElapsedTimer clock_;
    QTimer sweep_;
};

}  // namespace tarvik
