#include "WebServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "RequestHandler.h"

namespace tarvik {
namespace {

constexpr int kListenBacklog = 1024;
// Descriptors kept free beside those in use at start: the position save (a temporary file
// and its folder), a display reconnecting, the port, Qt's own.
constexpr int kReservedDescriptors = 16;
constexpr int kLastElementNumber = std::numeric_limits<std::int16_t>::max();
constexpr std::uint64_t kListenerKey = 0;  // element 0 is the listener
constexpr int kEventsPerPass = 256;
constexpr int kAcceptsPerPass = 64;
constexpr std::size_t kPiecesPerWrite = 16;
constexpr int kLingerCheckMs = 5;
constexpr std::chrono::microseconds kLookAgainAfterEvents{100};
constexpr std::chrono::milliseconds kLongestPass{2};
// A connection this young that has sent nothing yet is on its way with a request, not idle:
// it is not evicted. Accepting waits instead, with new connections in the kernel's queue.
constexpr std::chrono::milliseconds kEvictionGrace{100};

using SteadyClock = std::chrono::steady_clock;

// Element number and acceptance order in one epoll key, so that an event for a connection
// freed earlier in the same pass is never taken for its successor under the same number.
std::uint64_t KeyOf(int index, std::uint64_t sequence) {
    return (sequence << 16) | static_cast<std::uint64_t>(index);
}

// The peer's IP address as log lines show it; an IPv4 peer on the dual-stack socket is
// shown in dotted form.
std::string PeerTextOf(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    } else if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text,
                    sizeof text);
    }
    return text;
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 32;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count - 3;  // ".", ".." and the directory itself
}

int OpenListener(std::uint16_t port, std::string& error) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool ipv6 = fd >= 0;
    if (!ipv6) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int yes = 1, no = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int bound = -1;
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    // Bursts of connections wait in the kernel instead of having their SYNs dropped.
    if (bound != 0 || ::listen(fd, kListenBacklog) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// The reply of one arrival is queued on its element as pieces.
class WebServer::ElementConnection : public Connection {
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

WebServer::WebServer(RequestHandler& handler, WebServerLimits limits, QObject* parent)
    : QObject(parent), handler_(handler), limits_(limits) {
    arrival_.resize(static_cast<std::size_t>(std::max<std::int64_t>(limits_.maxArrivalBytes, 1)));
    sweep_.setInterval(250);
    connect(&sweep_, &QTimer::timeout, this, &WebServer::SweepDeadlines);
    lingerCheck_.setSingleShot(true);
    lingerCheck_.setInterval(kLingerCheckMs);
    connect(&lingerCheck_, &QTimer::timeout, this, &WebServer::CheckLingering);
}

WebServer::~WebServer() {
    delete notifier_;
    for (auto& [index, element] : Winsock1_) ::close(element.fd);
    for (int fd : {listener_, epoll_, spare_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool WebServer::Listen(std::uint16_t port, QString* error) {
    std::string reason;
    listener_ = OpenListener(port, reason);
    epoll_ = listener_ < 0 ? -1 : ::epoll_create1(EPOLL_CLOEXEC);
    if (listener_ >= 0 && epoll_ < 0) reason = std::strerror(errno);
    if (epoll_ < 0) {
        if (error != nullptr) *error = QString::fromLocal8Bit(reason.c_str());
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ComputeDescriptorBudget();
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &WebServer::OnEvents);
    return true;
}

std::uint16_t WebServer::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (listener_ < 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return ntohs(address.ss_family == AF_INET6 ? v6.sin6_port : v4.sin_port);
}

void WebServer::ComputeDescriptorBudget() {
    rlimit limit{};
    long long budget = kLastElementNumber;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        budget = static_cast<long long>(limit.rlim_cur) - OpenDescriptors() - kReservedDescriptors;
    }
    descriptorBudget_ = static_cast<int>(std::clamp<long long>(budget, 1, kLastElementNumber));
}

// Connections first: requests that have already arrived are answered before new
// connections are taken, so that at the cap nobody with a request is turned away.
//
// Under load the next event is usually microseconds away: looking again for a moment before
// the event loop sleeps saves the sleep and the wake-up, which on a virtual machine costs an
// interrupt between processors and is paid by the clients' side. The look ends soon after
// the last event, and a long run of events returns to the event loop now and then.
void WebServer::OnEvents() {
    const auto start = SteadyClock::now();
    auto lastEvent = start;
    for (;;) {
        const auto now = SteadyClock::now();
        if (ProcessReadyEvents() > 0) {
            lastEvent = now;
        } else if (now - lastEvent >= kLookAgainAfterEvents) {
            return;
        }
        if (now - start >= kLongestPass) return;
    }
}

int WebServer::ProcessReadyEvents() {
    epoll_event events[kEventsPerPass];
    const int count = ::epoll_wait(epoll_, events, kEventsPerPass, 0);
    bool listenerReady = false;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kListenerKey) {
            listenerReady = true;
            continue;
        }
        const auto found = Winsock1_.find(static_cast<int>(key & 0xFFFF));
        if (found == Winsock1_.end() || KeyOf(found->first, found->second.sequence) != key) {
            continue;  // freed earlier in this pass
        }
        OnElementEvent(found->first, events[i].events);
    }
    if (listenerReady && !acceptPaused_) OnListenerReadable();
    return count;
}

void WebServer::OnElementEvent(int index, std::uint32_t events) {
    Element& element = Winsock1_.at(index);
    if ((events & EPOLLERR) != 0) {
        Free(index);
        return;
    }
    // A hang-up is read as the end of the stream, so a lingering socket closes on it.
    if ((events & (EPOLLIN | EPOLLHUP)) != 0) {
        if (element.state == State::Open) {
            HandleArrival(index);
        } else {
            DiscardArrivals(index);
        }
    }
    const auto found = Winsock1_.find(index);
    if ((events & EPOLLOUT) != 0 && found != Winsock1_.end() &&
        found->second.state == State::Answered) {
        WritePending(index);
    }
}

// Accepts first and makes room after: an empty queue must not cost a connection its place.
// One socket above the budget for a moment is what the reserve is for.
void WebServer::OnListenerReadable() {
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                AcceptAndDropOne();
                continue;
            }
            return;  // the queue is empty
        }
        const bool room = MakeRoomForOne();
        Accept(fd, peer);
        if (!room) {
            PauseAccepting(true);
            return;
        }
    }
}

// Out of descriptors all the same (other programs share the system's table): the spare one
// makes room to take the oldest pending connection and close it, instead of leaving it
// pending and the listener reporting it again at once, forever.
void WebServer::AcceptAndDropOne() {
    if (spare_ >= 0) ::close(spare_);
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 && spare_ < 0) PauseAccepting(true);  // resumed when a socket is freed
}

void WebServer::Accept(int fd, const sockaddr_storage& peer) {
    if (ConnCount < std::numeric_limits<std::int32_t>::max()) ++ConnCount;
    SocketCount = NextElementNumber();
    const int index = SocketCount;
    Element& element = Winsock1_[index];
    element.fd = fd;
    element.peer = peer;
    element.sequence = nextSequence_++;
    element.accepted = SteadyClock::now();
    element.deadline = element.accepted + std::chrono::milliseconds(limits_.idleTimeoutMs);
    if (!sweep_.isActive()) sweep_.start();
    // A client usually sends its request right after connecting, so it has mostly arrived
    // by now: answered at once, the connection never enters the epoll set.
    const std::uint64_t sequence = element.sequence;
    HandleArrival(index);  // may free the element
    const auto found = Winsock1_.find(index);
    if (found != Winsock1_.end() && found->second.sequence == sequence &&
        found->second.state == State::Open && !found->second.registered) {
        Watch(index, false);
    }
}

// At the cap or the descriptor budget: requests that have arrived are answered first (their
// replies go out and they stop counting as open); then lingering sockets go when
// descriptors are short; then the open connection that has been silent longest and has sent
// nothing, then one that sent only what was no request, either of them past the grace. A
// connection whose request has arrived is never evicted. Returns false when no room could
// be made now; accepting then resumes after the grace or when a connection ends.
bool WebServer::MakeRoomForOne() {
    const auto full = [this] {
        return OpenConnections() >= limits_.maxConnections ||
               static_cast<int>(Winsock1_.size()) >= descriptorBudget_;
    };
    if (!full()) return true;
    std::vector<std::pair<std::uint64_t, int>> open;
    for (const auto& [index, element] : Winsock1_) {
        if (element.state == State::Open) open.emplace_back(element.sequence, index);
    }
    std::sort(open.begin(), open.end());
    for (const auto& [sequence, index] : open) {
        if (!full()) return true;
        if (Winsock1_.count(index) != 0) HandleArrival(index);
    }
    while (full()) {
        int victim = 0;
        if (static_cast<int>(Winsock1_.size()) >= descriptorBudget_) {
            victim = OldestWith(State::Lingering);
        }
        if (victim == 0) victim = OldestWith(State::Open, true, true);
        if (victim == 0) victim = OldestWith(State::Open, false, true);
        if (victim == 0) {
            QTimer::singleShot(kEvictionGrace, this, &WebServer::BackWithinLimits);
            return false;
        }
        Free(victim);
    }
    return true;
}

// The connection accepted when no room could be made counts above the cap until the grace
// of the others is over; then the longest silent goes, and accepting resumes.
void WebServer::BackWithinLimits() {
    while (OpenConnections() > limits_.maxConnections ||
           static_cast<int>(Winsock1_.size()) > descriptorBudget_) {
        int victim = OldestWith(State::Lingering);
        if (victim == 0 || static_cast<int>(Winsock1_.size()) <= descriptorBudget_) {
            victim = OldestWith(State::Open, true, true);
        }
        if (victim == 0) victim = OldestWith(State::Open, false, true);
        if (victim == 0) break;
        Free(victim);
    }
    PauseAccepting(false);
}

// One read is one arrival, answered once.
void WebServer::HandleArrival(int index) {
    Element& element = Winsock1_.at(index);
    const ssize_t got = ::read(element.fd, arrival_.data(), arrival_.size());
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        Free(index);  // closed or reset without a request
        return;
    }
    if (got < 0) return;
    element.heard = true;
    element.deadline = SteadyClock::now() + std::chrono::milliseconds(limits_.idleTimeoutMs);
    ElementConnection connection(element);
    const std::string_view data(arrival_.data(), static_cast<std::size_t>(got));
    if (!handler_.DataArrival(connection, data)) return;
    element.state = State::Answered;
    WritePending(index);
}

// After the request only the end of the peer's sending side matters.
void WebServer::DiscardArrivals(int index) {
    Element& element = Winsock1_.at(index);
    for (int i = 0; i < 16; ++i) {
        const ssize_t got = ::read(element.fd, arrival_.data(), arrival_.size());
        if (got > 0) continue;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (got < 0 || element.state == State::Lingering) {
            Free(index);
            return;
        }
        // The peer has sent all it will; it still reads the rest of its reply.
        element.peerClosed = true;
        Watch(index, true);
        return;
    }
}

void WebServer::WritePending(int index) {
    Element& element = Winsock1_.at(index);
    while (!element.pending.empty()) {
        iovec pieces[kPiecesPerWrite];
        std::size_t count = 0;
        for (; count < kPiecesPerWrite && count < element.pending.size(); ++count) {
            const std::string_view bytes = element.pending[count].bytes;
            pieces[count] = {const_cast<char*>(bytes.data()), bytes.size()};
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        // The end of the reply waits for the end of the connection that follows at once, so
        // that the last bytes and the FIN leave in one segment: one packet, and one wake-up
        // of the client, fewer per connection.
        const int last = count == element.pending.size() ? MSG_MORE : 0;
        ssize_t sent = ::sendmsg(element.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | last);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == EAGAIN) {
            Watch(index, true);
            return;
        }
        if (sent < 0) {
            Free(index);
            return;
        }
        element.deadline = SteadyClock::now() + std::chrono::milliseconds(limits_.idleTimeoutMs);
        while (sent > 0) {
            Piece& piece = element.pending.front();
            const auto taken = std::min(static_cast<std::size_t>(sent), piece.bytes.size());
            piece.bytes.remove_prefix(taken);
            sent -= static_cast<ssize_t>(taken);
            if (piece.bytes.empty()) element.pending.pop_front();
        }
    }
    if (element.peerClosed) {
        Free(index);
    } else {
        StartLinger(index);
    }
}

void WebServer::StartLinger(int index) {
    Element& element = Winsock1_.at(index);
    element.state = State::Lingering;
    ++lingering_;
    element.deadline = SteadyClock::now() + std::chrono::milliseconds(limits_.lingerMs);
    ::shutdown(element.fd, SHUT_WR);
    if (element.registered) {
        Watch(index, false);
    } else {
        // Most clients close as soon as the reply has ended. Looked at a moment later, their
        // sockets close without ever entering the epoll set, and their closing wakes nobody.
        lingerChecks_.emplace_back(index, element.sequence);
        if (!lingerCheck_.isActive()) lingerCheck_.start();
    }
    PauseAccepting(false);
}

// Lingering sockets whose peer has closed are closed; the others join the epoll set and
// are closed when the peer closes or the linger ends.
void WebServer::CheckLingering() {
    const auto checks = std::move(lingerChecks_);
    lingerChecks_.clear();
    const auto current = [this](int index, std::uint64_t sequence) {
        const auto found = Winsock1_.find(index);
        return found != Winsock1_.end() && found->second.sequence == sequence;
    };
    for (const auto& [index, sequence] : checks) {
        if (!current(index, sequence)) continue;  // already freed (evicted, expired)
        DiscardArrivals(index);
        if (current(index, sequence)) Watch(index, false);
    }
}

void WebServer::Watch(int index, bool write) {
    Element& element = Winsock1_.at(index);
    const std::uint32_t wanted =
        (element.peerClosed ? 0u : std::uint32_t{EPOLLIN}) | (write ? std::uint32_t{EPOLLOUT} : 0u);
    if (element.registered && wanted == element.watched) return;  // the linger keeps these
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = KeyOf(index, element.sequence);
    ::epoll_ctl(epoll_, element.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, element.fd, &event);
    element.registered = true;
    element.watched = wanted;
}

void WebServer::Free(int index) {
    const auto found = Winsock1_.find(index);
    if (found == Winsock1_.end()) return;
    if (found->second.state == State::Lingering) --lingering_;
    ::close(found->second.fd);  // also leaves the epoll set
    Winsock1_.erase(found);
    PauseAccepting(false);
}

// While paused the listener is out of the epoll set: pending connections wait in the
// kernel's queue instead of waking the loop again and again.
void WebServer::PauseAccepting(bool pause) {
    if (pause == acceptPaused_ || listener_ < 0) return;
    acceptPaused_ = pause;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_, pause ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, listener_, &event);
}

int WebServer::NextElementNumber() {
    int candidate = SocketCount;
    do {
        candidate = candidate >= kLastElementNumber ? 1 : candidate + 1;
    } while (Winsock1_.count(candidate) != 0);
    return candidate;
}

int WebServer::OldestWith(State state, bool silentOnly, bool pastGraceOnly) const {
    const auto youngest = SteadyClock::now() - kEvictionGrace;
    int oldest = 0;
    std::uint64_t oldestSequence = std::numeric_limits<std::uint64_t>::max();
    for (const auto& [index, element] : Winsock1_) {
        if (element.state == state && !(silentOnly && element.heard) &&
            !(pastGraceOnly && element.accepted > youngest) && element.sequence < oldestSequence) {
            oldest = index;
            oldestSequence = element.sequence;
        }
    }
    return oldest;
}

void WebServer::SweepDeadlines() {
    if (Winsock1_.empty()) {
        sweep_.stop();
        return;
    }
    const auto now = SteadyClock::now();
    std::vector<int> expired;
    for (const auto& [index, element] : Winsock1_) {
        if (element.deadline <= now) expired.push_back(index);
    }
    for (int index : expired) Free(index);
}

}  // namespace tarvik
