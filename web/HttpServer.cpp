#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <QTimer>

namespace tarvik {
namespace {

// Requests answered for one connection in one pass of the event loop.
constexpr int kRequestsPerPass = 64;

struct HttpState : ProtocolState {
    HttpState(HttpHandler& handler, std::string peer, std::string localHost, std::uint16_t port)
        : exchange(handler, std::move(peer), std::move(localHost), port) {}
    HttpExchange exchange;
};

// The address and port this connection reached.
sockaddr_storage LocalAddress(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) local = {};
    return local;
}

std::uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

HttpServer::HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits,
                       QObject* parent)
    : SocketServer(budget, limits, parent), handler_(handler) {
    // Requests that follow one still being answered wait in the kernel.
    readWhileAnswering_ = false;
}

HttpExchange& HttpServer::ExchangeOf(int, Element& element) {
    if (!element.protocol) {
        const sockaddr_storage local = LocalAddress(element.fd);
        std::string address = PeerTextOf(local);
        if (address.empty()) address = "localhost";
        if (address.find(':') != std::string::npos) address = "[" + address + "]";
        const std::uint16_t port = PortOf(local);
        element.protocol = std::make_unique<HttpState>(handler_, PeerTextOf(element.peer),
                                                       address + ":" + std::to_string(port), port);
    }
    return static_cast<HttpState&>(*element.protocol).exchange;
}

void HttpServer::OnArrival(int index, Element& element, std::string_view data) {
    ExchangeOf(index, element).Arrived(data);
    Continue(index);
}

void HttpServer::OnReplyWritten(int index, Element& element) {
    if (element.endsAfterReply) {
        if (element.peerClosed) {
            Free(index);
        } else {
            StartLinger(index);
        }
        return;
    }
    if (continuing_) {
        replyWritten_ = true;  // the loop in Continue goes on
    } else {
        Continue(index);  // a reply that had to wait for the socket is out
    }
}

void HttpServer::Continue(int index) {
    Element* element = Find(index);
    if (element == nullptr) return;
    const std::uint64_t sequence = element->sequence;
    continuing_ = true;
    int answered = 0;
    for (; answered < kRequestsPerPass; ++answered) {
        element = Find(index, sequence);
        if (element == nullptr) break;
        HttpExchange::Step step = ExchangeOf(index, *element).Next();
        if (step.kind == HttpExchange::Step::Kind::NeedMore) {
            ReadAgain(index);
            break;
        }
        if (step.kind == HttpExchange::Step::Kind::Wait) {
            Hold(index, step.wait);
            ContinueLater(index, step.wait);
            break;
        }
        ElementConnection(*element).SendShared(
            std::make_shared<const std::string>(std::move(step.bytes)));
        element->endsAfterReply = step.close;
        replyWritten_ = false;
        Answered(index);  // may free the element
        if (step.close || !replyWritten_) break;
    }
    continuing_ = false;
    if (answered == kRequestsPerPass) ContinueLater(index, std::chrono::milliseconds(0));
}

void HttpServer::ContinueLater(int index, std::chrono::milliseconds after) {
    const Element* element = Find(index);
    if (element == nullptr) return;
    QTimer::singleShot(after, this, [this, index, sequence = element->sequence] {
        if (Find(index, sequence) != nullptr) Continue(index);
    });
}

}  // namespace tarvik
