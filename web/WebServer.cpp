#include "WebServer.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <limits>

#include "RequestHandler.h"

namespace tarvik {
namespace {

// Descriptors kept free for files, the X connection and the timers.
constexpr int kReservedDescriptors = 64;
constexpr int kListenBacklog = 1024;

// Replies go straight to the kernel where they fit: Qt drops what is still in its own
// write buffer when the peer has closed its sending side, which a client may do right
// after its request. Only a remainder the kernel cannot take now is left to Qt.
class SocketConnection : public Connection {
  public:
    SocketConnection(QTcpSocket& socket, std::string peer)
        : socket_(socket), peer_(std::move(peer)) {}
    void Send(std::string_view bytes) override {
        if (socket_.bytesToWrite() == 0) {
            const ssize_t sent = ::send(static_cast<int>(socket_.socketDescriptor()), bytes.data(),
                                        bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        if (!bytes.empty()) socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    std::string PeerText() const override { return peer_; }

  private:
    QTcpSocket& socket_;
    std::string peer_;
};

// An IPv4 peer reached through the dual-stack socket is shown in dotted form.
std::string PeerText(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return (isIpv4 ? QHostAddress(ipv4).toString() : address.toString()).toStdString();
}

}  // namespace

WebServer::WebServer(RequestHandler& handler, WebServerLimits limits, QObject* parent)
    : QObject(parent), handler_(handler), limits_(limits), server_(new QTcpServer(this)) {
    clock_.start();
    connect(server_, &QTcpServer::newConnection, this, &WebServer::OnNewConnection);
    connect(server_, &QTcpServer::acceptError, this, &WebServer::OnAcceptError);
    sweep_.setInterval(250);
    connect(&sweep_, &QTimer::timeout, this, &WebServer::SweepDeadlines);
}

WebServer::~WebServer() {
    BuryFreed();
    auto elements = std::move(Winsock1_);
    Winsock1_.clear();
    for (auto& [index, element] : elements) {
        element.socket->disconnect(this);
        element.socket->abort();
    }
}

bool WebServer::Listen(std::uint16_t port, QString* error) {
    // Bursts of connections wait in the kernel instead of having their SYNs dropped (and
    // retried a second later) once Qt's default queue of 50 is full.
    server_->setListenBacklogSize(kListenBacklog);
    descriptorBudget_ = DescriptorBudget();
    if (server_->listen(QHostAddress::Any, port)) return true;
    if (error != nullptr) *error = server_->errorString();
    return false;
}

std::uint16_t WebServer::LocalPort() const {
    return server_->serverPort();
}

void WebServer::OnNewConnection() {
    if (betweenEvents_) betweenEvents_();
    BuryFreed();
    while (QTcpSocket* socket = server_->nextPendingConnection()) Accept(socket);
}

void WebServer::BuryFreed() {
    for (QTcpSocket* socket : freed_) delete socket;
    freed_.clear();
}

// Out of descriptors, QTcpServer stops accepting. Free the oldest lingering socket (or,
// failing that, the oldest unanswered one) and take up accepting again shortly.
void WebServer::OnAcceptError() {
    int victim = OldestWith(State::Lingering);
    if (victim == 0) victim = OldestWith(State::Open);
    if (victim != 0) Free(victim);
    QTimer::singleShot(10, server_, [server = server_] { server->resumeAccepting(); });
}

void WebServer::Accept(QTcpSocket* socket) {
    if (ConnCount < std::numeric_limits<std::int32_t>::max()) ++ConnCount;
    MakeRoomForOne();
    SocketCount = NextElementNumber();
    const int index = SocketCount;
    socket->setParent(this);
    socket->setReadBufferSize(limits_.maxArrivalBytes);
    Element& element = Winsock1_[index];
    element.socket = socket;
    element.peer = PeerText(socket->peerAddress());
    element.sequence = nextSequence_++;
    element.deadline = clock_.elapsed() + limits_.idleTimeoutMs;
    connect(socket, &QTcpSocket::readyRead, this, [this, index] { OnReadyRead(index); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, index] { OnBytesWritten(index); });
    connect(socket, &QTcpSocket::disconnected, this, [this, index] { Free(index); });
    // A peer that closes its side gets its reply first: Qt flushes, then disconnects.
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, index](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::RemoteHostClosedError) Free(index);
            });
    if (!sweep_.isActive()) sweep_.start();
    // Data may have come with the connection itself.
    if (socket->bytesAvailable() > 0) OnReadyRead(index);
}

// Room for one more open connection and its descriptor: at the cap the open connection
// that has waited longest without an answer goes; near the descriptor limit, the oldest
// lingering socket.
void WebServer::MakeRoomForOne() {
    if (OpenConnections() >= limits_.maxConnections) {
        int victim = OldestWith(State::Open);
        if (victim == 0) victim = OldestWith(State::Answered);
        if (victim != 0) Free(victim);
    }
    while (static_cast<int>(Winsock1_.size()) + 1 > descriptorBudget_) {
        const int victim = OldestWith(State::Lingering);
        if (victim == 0) break;
        Free(victim);
    }
}

int WebServer::NextElementNumber() {
    constexpr int kLast = std::numeric_limits<std::int16_t>::max();
    int candidate = SocketCount;
    do {
        candidate = candidate >= kLast ? 1 : candidate + 1;
    } while (Winsock1_.count(candidate) != 0);
    return candidate;
}

int WebServer::OldestWith(State state) const {
    int oldest = 0;
    std::uint64_t oldestSequence = std::numeric_limits<std::uint64_t>::max();
    for (const auto& [index, element] : Winsock1_) {
        if (element.state == state && element.sequence < oldestSequence) {
            oldest = index;
            oldestSequence = element.sequence;
        }
    }
    return oldest;
}

int WebServer::DescriptorBudget() const {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<int>::max();
    }
    const auto budget = static_cast<long long>(limit.rlim_cur) - kReservedDescriptors;
    return static_cast<int>(
        std::clamp<long long>(budget, limits_.maxConnections + 1, std::numeric_limits<int>::max()));
}

// Any socket call may emit signals that free the element, so it is looked up afresh
// after each of them.
void WebServer::OnReadyRead(int index) {
    if (betweenEvents_) betweenEvents_();
    auto found = Winsock1_.find(index);
    if (found == Winsock1_.end()) return;
    QPointer<QTcpSocket> socket = found->second.socket;
    const QByteArray data = socket->read(limits_.maxArrivalBytes);
    found = Winsock1_.find(index);
    if (found == Winsock1_.end() || found->second.state != State::Open) return;
    found->second.deadline = clock_.elapsed() + limits_.idleTimeoutMs;
    SocketConnection connection(*socket, found->second.peer);
    const bool answered =
        handler_.DataArrival(connection, std::string_view(data.constData(), data.size()));
    found = Winsock1_.find(index);
    if (!answered || found == Winsock1_.end()) return;
    found->second.state = State::Answered;
    OnBytesWritten(index);
}

void WebServer::OnBytesWritten(int index) {
    auto found = Winsock1_.find(index);
    if (found == Winsock1_.end() || found->second.state != State::Answered) return;
    found->second.deadline = clock_.elapsed() + limits_.idleTimeoutMs;
    if (found->second.socket->bytesToWrite() == 0) StartLinger(index);
}

void WebServer::StartLinger(int index) {
    Element& element = Winsock1_.at(index);
    element.state = State::Lingering;
    ++lingering_;
    element.deadline = clock_.elapsed() + limits_.lingerMs;
    ::shutdown(static_cast<int>(element.socket->socketDescriptor()), SHUT_WR);
}

void WebServer::Free(int index) {
    auto found = Winsock1_.find(index);
    if (found == Winsock1_.end()) return;
    QTcpSocket* socket = found->second.socket;
    if (found->second.state == State::Lingering) --lingering_;
    Winsock1_.erase(found);
    socket->disconnect(this);
    socket->abort();
    // Deleted at the next accept or sweep: this may run inside one of the socket's signals.
    freed_.push_back(socket);
    if (!sweep_.isActive()) sweep_.start();
}

void WebServer::SweepDeadlines() {
    BuryFreed();
    if (Winsock1_.empty()) {
        sweep_.stop();
        return;
    }
    const qint64 now = clock_.elapsed();
    std::vector<int> expired;
    for (const auto& [index, element] : Winsock1_) {
        if (element.deadline <= now) expired.push_back(index);
    }
    for (int index : expired) Free(index);
}

}  // namespace tarvik
