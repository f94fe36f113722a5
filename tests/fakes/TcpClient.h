// A blocking loopback TCP client, and helpers that spin Qt's loop while one works.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <future>
#include <string>

namespace tarvik::test {

class TcpClient {
  public:
    // Connects to 127.0.0.1 (or ::1) at `port`; reads time out after `timeoutMs`.
    explicit TcpClient(std::uint16_t port, bool ipv6 = false, int timeoutMs = 10000) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in6 v6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        sockaddr_in v4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0
                          : ::connect(fd_, reinterpret_cast<sockaddr*>(&v4), sizeof v4) == 0;
    }
    ~TcpClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Send(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an orderly close.
    void ResetNow() {
        linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd_);
        fd_ = -1;
    }

    enum class End { Closed, Reset, TimedOut };
    // Reads until the server closes; `end` says how the reading stopped.
    std::string ReadAll(End* end = nullptr) {
        std::string data;
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
        }
        if (end != nullptr) {
            *end = n == 0 ? End::Closed : errno == EAGAIN ? End::TimedOut : End::Reset;
        }
        return data;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// A port the system gives out, free again once closed: for a server a test starts later.
inline std::uint16_t FreeTcpPort() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Handles Qt events until `done` holds or `limitMs` passes (a generous bound, never a
// measurement); returns whether `done` held.
inline bool ServeUntil(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;  // so that waiting for events never sleeps past the condition
    wake.start(1);
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs `work` on another thread while this thread handles Qt events; returns its result.
template <typename Work>
auto WhileServing(Work work) -> decltype(work()) {
    auto future = std::async(std::launch::async, std::move(work));
    ServeUntil(
        [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        120000);
    return future.get();
}

}  // namespace tarvik::test
