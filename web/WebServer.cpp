#include "WebServer.h"

#include <algorithm>
#include <cctype>

#include "RequestHandler.h"

namespace tarvik {
namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view lowerCasePart) {
    const auto found = std::search(
        text.begin(), text.end(), lowerCasePart.begin(), lowerCasePart.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return found != text.end();
}

// A GET is whole once the blank line has ended its header, unless the header announces a
// body, which may still be on its way.
bool IsWholeRequest(std::string_view data) {
    const bool headerEnded = data.ends_with("\r\n\r\n") || data.ends_with("\n\n");
    return headerEnded && !ContainsIgnoringCase(data, "content-length:") &&
           !ContainsIgnoringCase(data, "transfer-encoding:");
}

// One read is one arrival, answered once.
class TurnProtocol final : public SocketProtocol {
  public:
    explicit TurnProtocol(RequestHandler& handler) : handler_(handler) {}

    // What follows the request is read and dropped while the reply goes out: the peer's end
    // of stream is seen, and nothing unread is left to reset the reply.
    bool ReadsWhileAnswering() const override { return true; }

    Verdict Arrived(SocketServer::Link& connection, std::string_view data) override {
        if (!handler_.DataArrival(connection, data)) return Verdict::NeedMore();
        return Verdict::Close(IsWholeRequest(data));
    }

  private:
    RequestHandler& handler_;
};

}  // namespace

WebServer::WebServer(RequestHandler& handler, DescriptorBudget& budget, ServerLimits limits,
                     QObject* parent)
    : SocketServer(std::make_unique<TurnProtocol>(handler), budget, limits, parent) {}

}  // namespace tarvik
