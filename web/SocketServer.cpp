#include "SocketServer.h"
#include "FileHelpers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

constexpr int kListenBacklog = 1024;
constexpr int kReservedDescriptors = 16;
constexpr int kLastElementNumber = std::numeric_limits<std::int16_t>::max();
constexpr std::uint64_t kListenerKey = 0;  // element 0 is the listener
constexpr int kEventsPerPass = 256;
constexpr int kAcceptsPerPass = 64;
constexpr std::size_t kPiecesPerWrite = 64;
// Kept-alive replies written for one connection in one pass; the next request waits for the
// next pass, so that a long stream of pipelined requests never holds up the event loop.
constexpr int kRepliesPerPass = 64;
constexpr int kLingerCheckMs = 5;
constexpr int kResumeAcceptingMs = 100;
constexpr int kBoundedSendBuffer = 256 * 1024;
// One call from the event loop works at most this long; what is left is reported again.
constexpr std::chrono::milliseconds kLongestPass{5};
// A connection this young that has sent nothing yet is on its way with a request, not idle:
// it is not evicted. Accepting waits instead, with new connections in the kernel's queue.
constexpr std::chrono::milliseconds kEvictionGrace{100};

using SteadyClock = std::chrono::steady_clock;

// Element number and acceptance order in one epoll key, so that an event for a connection
// freed earlier in the same pass is never taken for its successor under the same number.
std::uint64_t KeyOf(int index, std::uint64_t sequence) {
    return (sequence << 16) | static_cast<std::uint64_t>(index);
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 32;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count - 3;  // ".", ".." and the directory itself
}

int Bound(int fd, std::string& error) {
    // Bursts of connections wait in the kernel instead of having their SYNs dropped.
    if (::listen(fd, kListenBacklog) == 0) return fd;
    error = std::strerror(errno);
    ::close(fd);
    return -1;
}

// Every interface, IPv6 and IPv4 on one socket; IPv4 alone where there is no IPv6.
int OpenOnEveryInterface(std::uint16_t port, std::string& error) {
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
    if (bound != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return Bound(fd, error);
}

int OpenListener(const std::string& host, std::uint16_t port, std::string& error) {
    if (host.empty()) return OpenOnEveryInterface(port, error);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
        error = ::gai_strerror(failure);
        return -1;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
        error = std::strerror(errno);
        ::freeaddrinfo(found);
        CloseIfOpen(fd);
        return -1;
    }
    ::freeaddrinfo(found);
    return Bound(fd, error);
}

}  // namespace

void DescriptorBudget::Join(SocketServer* server) {
    servers_.push_back(server);
}

void DescriptorBudget::Leave(SocketServer* server) {
    servers_.erase(std::remove(servers_.begin(), servers_.end(), server), servers_.end());
}

bool DescriptorBudget::FreeBestVictim() {
    SocketServer* holder = nullptr;
    SocketServer::Victim best{{std::numeric_limits<int>::max(), 0}, 0};
    for (SocketServer* server : servers_) {
        const SocketServer::Victim victim = server->ChooseVictim();
        if (victim.index != 0 && victim.rank < best.rank) {
            best = victim;
            holder = server;
        }
    }
    if (holder == nullptr) return false;
    holder->Free(best.index);
    return true;
}

int DescriptorBudget::Limit() const {
    if (limit_ < 0) {
        // Linux bounds the descriptor limit by fs.nr_open: it is never unlimited.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        const long long budget =
            static_cast<long long>(limit.rlim_cur) - OpenDescriptors() - kReservedDescriptors;
        limit_ = static_cast<int>(std::clamp<long long>(budget, 1, kLastElementNumber - 1));
    }
    return limit_;
}

SocketServer::SocketServer(std::unique_ptr<SocketProtocol> protocol, DescriptorBudget& budget,
                           ServerLimits limits, QObject* parent)
    : QObject(parent),
      protocol_(std::move(protocol)),
      readsWhileAnswering_(protocol_->ReadsWhileAnswering()),
      budget_(budget),
      limits_(limits) {
    budget_.Join(this);
    arrival_.resize(static_cast<std::size_t>(std::max<std::int64_t>(limits_.maxArrivalBytes, 1)));
    sweep_.setInterval(250);
    connect(&sweep_, &QTimer::timeout, this, &SocketServer::SweepDeadlines);
    lingerCheck_.setSingleShot(true);
    lingerCheck_.setInterval(kLingerCheckMs);
    connect(&lingerCheck_, &QTimer::timeout, this, &SocketServer::CheckLingering);
    resumeAccepting_.setSingleShot(true);
    resumeAccepting_.setInterval(kResumeAcceptingMs);
    connect(&resumeAccepting_, &QTimer::timeout, this, [this] { PauseAccepting(false); });
}

SocketServer::~SocketServer() {
    budget_.Leave(this);
    delete notifier_;
    for (auto& [index, element] : elements_) {
        ::close(element.fd);
        budget_.Gave();
    }
    for (int fd : {listener_, epoll_, spare_}) CloseIfOpen(fd);
}

bool SocketServer::Listen(const std::string& address, std::uint16_t port, QString* error) {
    std::string reason;
    listener_ = OpenListener(address, port, reason);
    if (listener_ >= 0) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) reason = std::strerror(errno);
    }
    if (epoll_ < 0) {
        if (error != nullptr) *error = QString::fromLocal8Bit(reason.c_str());
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    budget_.Limit();  // counted now, before the first connection
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SocketServer::OnEvents);
    return true;
}

std::uint16_t SocketServer::LocalPort() const {
    return listener_ >= 0 ? PortOf(LocalAddressOf(listener_)) : 0;
}

// Passes of ready events until none is left or the pass time is used up. Connections come
// first: requests that have already arrived are answered before new connections are taken,
// so that at the cap nobody with a request is turned away. What a pass leaves is reported
// again at once (the epoll set is level-triggered), after the event loop's other work.
void SocketServer::OnEvents() {
    const auto passEnd = SteadyClock::now() + kLongestPass;
    while (ProcessReadyEvents(passEnd) > 0 && SteadyClock::now() < passEnd) {
    }
}

int SocketServer::ProcessReadyEvents(SteadyClock::time_point passEnd) {
    epoll_event events[kEventsPerPass];
    const int count = ::epoll_wait(epoll_, events, kEventsPerPass, 0);
    bool listenerReady = false;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kListenerKey) {
            listenerReady = true;
            continue;
        }
        if (SteadyClock::now() >= passEnd) return count;
        const auto found = elements_.find(static_cast<int>(key & 0xFFFF));
        if (found == elements_.end() || KeyOf(found->first, found->second.sequence) != key) {
            continue;  // freed earlier in this pass
        }
        OnElementEvent(found->first, events[i].events);
    }
    if (listenerReady && !acceptPaused_) OnListenerReadable(passEnd);
    return count;
}

void SocketServer::OnElementEvent(int index, std::uint32_t events) {
    if ((events & EPOLLERR) != 0) {
        Free(index);
        return;
    }
    // A hang-up is read as the end of the stream, so a lingering socket closes on it.
    if ((events & (EPOLLIN | EPOLLHUP)) != 0) {
        const State state = elements_.at(index).state;
        if (state == State::Open) {
            ReadArrival(index);
        } else if (state == State::Lingering || readsWhileAnswering_) {
            DiscardArrivals(index);
        }
    }
    const auto found = elements_.find(index);
    if (found == elements_.end() || found->second.state != State::Answered) return;
    if ((events & EPOLLOUT) != 0) {
        if (WritePending(index)) ReplyWritten(index);
    } else if ((events & EPOLLHUP) != 0 && found->second.pending.empty()) {
        Free(index);  // gone while its request was held back: the hang-up would come again
    }
}

// Room first, then the connection: a connection is never taken past the cap or the budget.
// Only the first connection of a pass, which the listener has reported, may cost another its
// place; later ones may not be there at all, and wait for the next report.
void SocketServer::OnListenerReadable(SteadyClock::time_point passEnd) {
    for (int i = 0; i < kAcceptsPerPass && !acceptPaused_ && SteadyClock::now() < passEnd; ++i) {
        if (Full() && (i > 0 || !MakeRoomForOne())) {
            if (i == 0) PauseAccepting(true);
            return;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            Accept(fd, peer);
        } else if (errno == EMFILE || errno == ENFILE) {
            AcceptAndDropOne();
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return;  // the queue is empty
        }
    }
}

// Out of descriptors all the same (other programs share the system's table): the spare one
// makes room to take the oldest pending connection and close it, instead of leaving it
// pending and the listener reporting it again at once, forever. Without a spare, accepting
// pauses and the clock tries again.
void SocketServer::AcceptAndDropOne() {
    CloseIfOpen(spare_);
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    CloseIfOpen(fd);
    spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || spare_ < 0) PauseAccepting(true);
}

void SocketServer::Accept(int fd, const sockaddr_storage& peer) {
    const int index = NextElementNumber();
    if (index == 0) {
        ::close(fd);
        return;
    }
    budget_.Took();
    Element& element = elements_[index];
    element.fd = fd;
    element.peer = peer;
    element.sequence = nextSequence_++;
    element.accepted = element.progress = SteadyClock::now();
    element.deadline = element.accepted + std::chrono::milliseconds(limits_.idleTimeoutMs);
    if (!sweep_.isActive()) sweep_.start();
    // A client usually sends its request right after connecting, so it has mostly arrived
    // by now: answered at once, the connection never enters the epoll set.
    const std::uint64_t sequence = element.sequence;
    ReadArrival(index);  // may free the element
    if (Exists({index, sequence})) {
        const Element& now = elements_.at(index);
        if (now.state == State::Open && !now.registered) Watch(index, false);
    }
}

// At the cap or the descriptor budget: requests that have arrived are answered first (their
// replies go out and they stop counting as open); then the connections that can best be
// spared are closed, one at a time. Returns false when none can be spared now.
bool SocketServer::MakeRoomForOne() {
    std::vector<std::pair<std::uint64_t, int>> open;
    for (const auto& [index, element] : elements_) {
        if (element.state == State::Open) open.emplace_back(element.sequence, index);
    }
    std::sort(open.begin(), open.end());
    for (const auto& [sequence, index] : open) {
        if (!Full()) return true;
        if (Exists({index, sequence}) && elements_.at(index).state == State::Open) {
            ReadArrival(index);
        }
    }
    while (Full()) {
        // At this server's own cap one of its own goes; when the descriptors shared by every
        // server are short, the one that can best be spared goes, whoever holds it.
        if (OpenConnections() < limits_.maxConnections) {
            if (!budget_.FreeBestVictim()) return false;
            continue;
        }
        const Victim victim = ChooseVictim();
        if (victim.index == 0) return false;
        Free(victim.index);
    }
    return true;
}

bool SocketServer::Full() const {
    return OpenConnections() >= limits_.maxConnections || budget_.Full();
}

// Who makes room, in this order, each kind oldest first: a lingering socket (only when
// descriptors are short: lingering ones do not count as open); a connection past its grace
// that has sent nothing; one past its grace that sent no request; a reader whose reply has
// not moved for the stall grace (or a request held back), the longest stalled first. A
// request that has arrived and a reply that moves are never cut short. Ranks are times, so
// that the connections of several servers compare.
SocketServer::Victim SocketServer::ChooseVictim() const {
    const auto now = SteadyClock::now();
    const auto graceOver = now - kEvictionGrace;
    const auto stalled = now - std::chrono::milliseconds(limits_.stallGraceMs);
    const bool descriptorsShort = budget_.Full();
    constexpr int kSpared = std::numeric_limits<int>::max();
    Victim best{{kSpared, 0}, 0};
    for (const auto& [index, e] : elements_) {
        int kind = kSpared;
        std::int64_t order = e.accepted.time_since_epoch().count();
        if (e.state == State::Lingering && descriptorsShort) {
            kind = 0;
        } else if (e.state == State::Open && e.accepted <= graceOver) {
            kind = e.heard ? 2 : 1;
        } else if (e.state == State::Answered && e.progress <= stalled) {
            kind = 3;
            order = e.progress.time_since_epoch().count();
        }
        const Rank rank{kind, order};
        if (kind != kSpared && rank < best.rank) best = {rank, index};
    }
    return best;
}

void SocketServer::ReadArrival(int index) {
    Element& element = elements_.at(index);
    const ssize_t got = ::read(element.fd, arrival_.data(), arrival_.size());
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        Free(index);  // closed or reset
        return;
    }
    if (got < 0) return;
    const auto bytes = static_cast<std::size_t>(got);
    element.heard = true;
    element.drained = bytes < arrival_.size();
    element.progress = SteadyClock::now();
    element.deadline = element.progress + std::chrono::milliseconds(limits_.idleTimeoutMs);
    Link connection = LinkTo(index);
    Carry(index, protocol_->Arrived(connection, std::string_view(arrival_.data(), bytes)));
}

// After the request only the end of the peer's sending side matters.
void SocketServer::DiscardArrivals(int index) {
    Element& element = elements_.at(index);
    for (int i = 0; i < 16; ++i) {
        const ssize_t got = ::read(element.fd, arrival_.data(), arrival_.size());
        if (got > 0) {
            element.inputOver = false;  // the peer goes on sending: it may send more still
            continue;
        }
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

SocketServer::Link SocketServer::LinkTo(int index) {
    return Link(index, elements_.at(index));
}

sockaddr_storage SocketServer::Link::LocalAddress() const {
    return LocalAddressOf(element_.fd);
}

// The protocol's verdicts on one connection, for as long as its replies are written at once.
void SocketServer::Carry(int index, Verdict verdict) {
    for (int replies = 0;;) {
        switch (verdict.kind) {
            case Verdict::Kind::NeedMore:
                ReadAgain(index);
                return;
            case Verdict::Kind::Wait:
                Hold(index, verdict.wait);
                return;
            case Verdict::Kind::Close:
                EndWithReply(index, verdict.requestWhole);
                return;
            case Verdict::Kind::KeepAlive:
                break;
        }
        if (!Answered(index)) return;  // goes on once it is out (ReplyWritten), or freed
        if (++replies == kRepliesPerPass) {
            Hold(index, std::chrono::milliseconds(0));
            return;
        }
        Link connection = LinkTo(index);
        verdict = protocol_->Resume(connection);
    }
}

bool SocketServer::Answered(int index) {
    Element& element = elements_.at(index);
    element.state = State::Answered;
    // A big reply (a chat board of megabytes) gets a send buffer of bounded size: the kernel
    // would otherwise grow it to megabytes for every reader, those that never read included,
    // and copy as much into it on every write.
    std::size_t bytes = 0;
    for (const Piece& piece : element.pending) bytes += piece.bytes.size();
    if (bytes > kBoundedSendBuffer) {
        const int size = kBoundedSendBuffer;
        ::setsockopt(element.fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    return WritePending(index);
}

// True when the whole reply is out; false when the rest waits for the socket, or the
// connection was freed.
bool SocketServer::WritePending(int index) {
    Element& element = elements_.at(index);
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
        // The end of a last reply waits for the end of the connection that follows at once,
        // so that the last bytes and the FIN leave in one segment: one packet, and one
        // wake-up of the client, fewer per connection.
        const int more = element.endsAfterReply && count == element.pending.size() ? MSG_MORE : 0;
        ssize_t sent = ::sendmsg(element.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | more);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == EAGAIN) {
            Watch(index, true);
            return false;
        }
        if (sent < 0) {
            Free(index);
            return false;
        }
        element.progress = SteadyClock::now();
        element.deadline = element.progress + std::chrono::milliseconds(limits_.idleTimeoutMs);
        while (sent > 0) {
            Piece& piece = element.pending.front();
            const auto taken = std::min(static_cast<std::size_t>(sent), piece.bytes.size());
            piece.bytes.remove_prefix(taken);
            sent -= static_cast<ssize_t>(taken);
            if (piece.bytes.empty()) element.pending.pop_front();
        }
    }
    return true;
}

// A reply that had to wait for the socket is out.
void SocketServer::ReplyWritten(int index) {
    if (elements_.at(index).endsAfterReply) {
        EndAfterReply(index);
        return;
    }
    Link connection = LinkTo(index);
    Carry(index, protocol_->Resume(connection));
}

void SocketServer::EndWithReply(int index, bool requestWhole) {
    Element& element = elements_.at(index);
    element.endsAfterReply = true;
    // A read that left bytes in the socket did not take the whole request, whatever it held.
    element.inputOver = requestWhole && element.drained;
    if (Answered(index)) EndAfterReply(index);
}

// The last reply is out. A peer that has closed its side is let go; so is one whose whole
// request was taken with nothing after it in the socket: closed at once, the FIN follows the
// reply, and no second read waits for the peer's end. Otherwise input may still arrive, and a
// closed socket would answer it with a reset that destroys what the client has not read yet:
// the sending side is shut down and the socket lingers, reading and dropping what comes.
void SocketServer::EndAfterReply(int index) {
    const Element& element = elements_.at(index);
    int unread = 0;
    const bool quiet =
        element.inputOver && ::ioctl(element.fd, FIONREAD, &unread) == 0 && unread == 0;
    if (element.peerClosed || quiet) {
        Free(index);
    } else {
        StartLinger(index);
    }
}

void SocketServer::StartLinger(int index) {
    Element& element = elements_.at(index);
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

void SocketServer::ReadAgain(int index) {
    Element& element = elements_.at(index);
    element.state = State::Open;
    element.deadline = SteadyClock::now() + std::chrono::milliseconds(limits_.idleTimeoutMs);
    Watch(index, false);
}

void SocketServer::Hold(int index, std::chrono::milliseconds wait) {
    Element& element = elements_.at(index);
    element.state = State::Answered;
    element.deadline = SteadyClock::now() + wait + std::chrono::milliseconds(limits_.idleTimeoutMs);
    Watch(index, false);
    QTimer::singleShot(wait, this,
                       [this, id = ConnectionId{index, element.sequence}] { Wake(id); });
}

bool SocketServer::Wake(ConnectionId id) {
    const Element* element = Find(id);
    if (element == nullptr) return false;
    if (element->state == State::Lingering || !element->pending.empty()) return true;
    Link connection = LinkTo(id.number);
    Carry(id.number, protocol_->Resume(connection));
    return true;
}

SocketServer::Element* SocketServer::Find(ConnectionId id) {
    const auto found = elements_.find(id.number);
    if (found == elements_.end() || found->second.sequence != id.sequence) return nullptr;
    return &found->second;
}

bool SocketServer::Exists(ConnectionId id) const {
    const auto found = elements_.find(id.number);
    return found != elements_.end() && found->second.sequence == id.sequence;
}

// Lingering sockets whose peer has closed are closed; the others join the epoll set and
// are closed when the peer closes or the linger ends.
void SocketServer::CheckLingering() {
    const auto checks = std::move(lingerChecks_);
    lingerChecks_.clear();
    for (const auto& [index, sequence] : checks) {
        if (!Exists({index, sequence})) continue;  // already freed (evicted, expired)
        DiscardArrivals(index);
        if (Exists({index, sequence})) Watch(index, false);
    }
}

void SocketServer::Watch(int index, bool write) {
    Element& element = elements_.at(index);
    const bool read =
        !element.peerClosed && (element.state != State::Answered || readsWhileAnswering_);
    const std::uint32_t wanted =
        (read ? std::uint32_t{EPOLLIN} : 0u) | (write ? std::uint32_t{EPOLLOUT} : 0u);
    if (element.registered && wanted == element.watched) return;  // the linger keeps these
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = KeyOf(index, element.sequence);
    ::epoll_ctl(epoll_, element.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, element.fd, &event);
    element.registered = true;
    element.watched = wanted;
}

void SocketServer::Free(int index) {
    const auto found = elements_.find(index);
    if (found == elements_.end()) return;
    if (found->second.state == State::Lingering) --lingering_;
    ::close(found->second.fd);  // also leaves the epoll set
    elements_.erase(found);
    budget_.Gave();
    PauseAccepting(false);
}

// While paused the listener is out of the epoll set: pending connections wait in the
// kernel's queue instead of waking the loop again and again. A pause always ends by the
// clock, too: room may come from elsewhere (another server, the system's table).
void SocketServer::PauseAccepting(bool pause) {
    if (pause) resumeAccepting_.start();
    if (pause == acceptPaused_ || listener_ < 0) return;
    acceptPaused_ = pause;
    if (!pause) resumeAccepting_.stop();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_, pause ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, listener_, &event);
}

// The next free element number after the newest; 0 when every number is taken, which the
// budget keeps from happening.
int SocketServer::NextElementNumber() {
    int candidate = newestElement_;
    for (int tried = 0; tried < kLastElementNumber; ++tried) {
        candidate = candidate >= kLastElementNumber ? 1 : candidate + 1;
        if (elements_.count(candidate) == 0) return newestElement_ = candidate;
    }
    return 0;
}

void SocketServer::SweepDeadlines() {
    if (elements_.empty()) {
        sweep_.stop();
        return;
    }
    const auto now = SteadyClock::now();
    std::vector<int> expired;
    for (const auto& [index, element] : elements_) {
        if (element.deadline <= now) expired.push_back(index);
    }
    for (int index : expired) Free(index);
}

}  // namespace tarvik
