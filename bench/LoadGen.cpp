// A loopback HTTP load generator: one GET per connection, reads until the server closes,
// counts any non-empty reply (with or without a status line) as answered.
//
//   loadgen --port P [--path /] [--concurrency 64] [--seconds 5] [--rate 0] [--host 127.0.0.1]
//           [--total N] [--no-read 1]
//
// --total N stops after N connections (instead of after --seconds); --no-read 1 closes
// each connection as soon as the request is sent.
// --rate 0 opens connections as fast as answers come back (closed loop, `concurrency` at a
// time); --rate R opens R connections per second whatever the answers do (open loop).
// Prints one line: answered=... errors=... per_second=... p50_ms=... p99_ms=... bytes=...
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string path = "/";
    int concurrency = 64;
    double seconds = 5;
    double rate = 0;
    long total = 0;
    bool noRead = false;
};

struct Flight {
    Clock::time_point start;
    std::size_t sent = 0;
    std::size_t received = 0;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--host") o.host = value;
        if (key == "--port") o.port = std::atoi(value);
        if (key == "--path") o.path = value;
        if (key == "--concurrency") o.concurrency = std::atoi(value);
        if (key == "--seconds") o.seconds = std::atof(value);
        if (key == "--rate") o.rate = std::atof(value);
        if (key == "--total") o.total = std::atol(value);
        if (key == "--no-read") o.noRead = std::atoi(value) != 0;
    }
    return o;
}

class LoadGen {
  public:
    explicit LoadGen(const Options& o) : o_(o), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        address_.sin_family = AF_INET;
        address_.sin_port = htons(static_cast<std::uint16_t>(o.port));
        ::inet_pton(AF_INET, o.host.c_str(), &address_.sin_addr);
        request_ =
            "GET " + o.path + " HTTP/1.1\r\nHost: " + o.host + "\r\nConnection: close\r\n\r\n";
    }

    void Run() {
        const auto begin = Clock::now();
        const double seconds = o_.total > 0 ? 24 * 3600.0 : o_.seconds;
        const auto end = begin + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
        double opened = 0;
        epoll_event events[256];
        while ((Clock::now() < end && !AllOpened()) || !flights_.empty()) {
            const auto now = Clock::now();
            if (now < end && !AllOpened()) OpenDue(begin, now, opened);
            const int ready = ::epoll_wait(epoll_, events, 256, 1);
            for (int i = 0; i < ready; ++i) Handle(events[i].data.fd, events[i].events);
            if (now > end + std::chrono::seconds(30)) break;  // never wait for ever
        }
        elapsed_ = std::chrono::duration<double>(Clock::now() - begin).count();
    }

    void Report() const {
        std::vector<double> sorted = latenciesMs_;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double p) {
            const auto last = static_cast<double>(sorted.size() - 1);
            return sorted.empty() ? 0.0 : sorted[static_cast<std::size_t>(p * last)];
        };
        std::printf("answered=%zu errors=%zu per_second=%.0f p50_ms=%.3f p99_ms=%.3f bytes=%zu\n",
                    sorted.size(), errors_, static_cast<double>(sorted.size()) / elapsed_, at(0.5),
                    at(0.99), lastBytes_);
    }

  private:
    bool AllOpened() const { return o_.total > 0 && opened_ >= o_.total; }

    void OpenDue(Clock::time_point begin, Clock::time_point now, double& opened) {
        if (o_.rate > 0) {
            const double due = std::chrono::duration<double>(now - begin).count() * o_.rate;
            while (opened < due && !AllOpened()) {
                Open();
                opened += 1;
            }
            return;
        }
        while (static_cast<int>(flights_.size()) < o_.concurrency && !AllOpened()) Open();
    }

    void Open() {
        ++opened_;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            ++errors_;
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        flights_[fd] = Flight{Clock::now(), 0, 0};
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0 &&
            errno != EINPROGRESS) {
            Finish(fd, false);
            return;
        }
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }

    void Handle(int fd, std::uint32_t what) {
        auto found = flights_.find(fd);
        if (found == flights_.end()) return;
        Flight& flight = found->second;
        if ((what & EPOLLOUT) && flight.sent < request_.size()) {
            const ssize_t n = ::send(fd, request_.data() + flight.sent,
                                     request_.size() - flight.sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) return Finish(fd, false);
            if (n > 0) flight.sent += static_cast<std::size_t>(n);
            if (flight.sent == request_.size() && o_.noRead) return Finish(fd, true);
            if (flight.sent == request_.size()) {
                epoll_event event{};
                event.events = EPOLLIN | EPOLLRDHUP;
                event.data.fd = fd;
                ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
            }
        }
        if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    flight.received += static_cast<std::size_t>(n);
                    continue;
                }
                if (n == 0) return Finish(fd, flight.received > 0);
                if (errno == EAGAIN) return;
                return Finish(fd, false);
            }
        }
    }

    void Finish(int fd, bool answered) {
        const Flight flight = flights_[fd];
        flights_.erase(fd);
        ::close(fd);
        if (!answered) {
            ++errors_;
            return;
        }
        latenciesMs_.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - flight.start).count());
        lastBytes_ = flight.received;
    }

    Options o_;
    int epoll_;
    sockaddr_in address_{};
    std::string request_;
    std::unordered_map<int, Flight> flights_;
    std::vector<double> latenciesMs_;
    std::size_t errors_ = 0;
    std::size_t lastBytes_ = 0;
    double elapsed_ = 1;
    long opened_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    if (options.port <= 0) {
        std::fprintf(
            stderr,
            "usage: loadgen --port P [--path /] [--concurrency N] [--seconds S] [--rate R]\n");
        return 2;
    }
    LoadGen load(options);
    load.Run();
    load.Report();
    return 0;
}
