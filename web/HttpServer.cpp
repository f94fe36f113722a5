#include "HttpServer.h"

#include "HttpExchange.h"

namespace tarvik {
namespace {

struct HttpState : ProtocolState {
    HttpState(HttpHandler& handler, std::string peer, std::string localHost, std::uint16_t port)
        : exchange(handler, std::move(peer), std::move(localHost), port) {}
    HttpExchange exchange;
};

class HttpProtocol final : public SocketProtocol {
  public:
    explicit HttpProtocol(HttpHandler& handler) : handler_(handler) {}

    // Requests that follow one still being answered wait in the kernel.
    bool ReadsWhileAnswering() const override { return false; }

    Verdict Arrived(SocketServer::Link& connection, std::string_view data) override {
        ExchangeOf(connection).Arrived(data);
        return Resume(connection);
    }

    // The reply to the next whole request, a wait before it, or more bytes first.
    Verdict Resume(SocketServer::Link& connection) override {
        HttpExchange::Step step = ExchangeOf(connection).Next();
        switch (step.kind) {
            case HttpExchange::Step::Kind::NeedMore:
                return Verdict::NeedMore();
            case HttpExchange::Step::Kind::Wait:
                return Verdict::Wait(step.wait);
            case HttpExchange::Step::Kind::Reply:
                break;
        }
        connection.SendShared(std::make_shared<const std::string>(std::move(step.bytes)));
        // What the framing still holds past a request that ends the connection (pipelined
        // requests, the rest of one it refused) is not known here: the connection lingers.
        return step.close ? Verdict::Close(false) : Verdict::KeepAlive();
    }

  private:
    HttpExchange& ExchangeOf(SocketServer::Link& connection) {
        if (connection.State() == nullptr) {
            const sockaddr_storage local = connection.LocalAddress();
            std::string address = PeerTextOf(local);
            if (address.empty()) address = "localhost";
            if (address.find(':') != std::string::npos) address = "[" + address + "]";
            const std::uint16_t port = PortOf(local);
            connection.Keep(std::make_unique<HttpState>(
                handler_, connection.PeerText(), address + ":" + std::to_string(port), port));
        }
        return static_cast<HttpState&>(*connection.State()).exchange;
    }

    HttpHandler& handler_;
};

}  // namespace

HttpServer::HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits,
                       QObject* parent)
    : SocketServer(std::make_unique<HttpProtocol>(handler), budget, limits, parent) {}

}  // namespace tarvik
