// The turn and chat server: one GET request per connection, answered once. After the reply
// the server shuts its sending side down and lingers: what still arrives is read and dropped,
// so that unread request bytes never make the kernel reset a reply the client has not read
// yet. A peer that closes its own sending side after the request still gets the whole reply.
#pragma once

#include "SocketServer.h"

namespace tarvik {

class RequestHandler;

class WebServer : public SocketServer {
  public:
    WebServer(RequestHandler& handler, DescriptorBudget& budget, ServerLimits limits = {},
              QObject* parent = nullptr)
        : SocketServer(budget, limits, parent), handler_(handler) {}

  private:
    // One read is one arrival, answered once.
    void OnArrival(int index, Element& element, std::string_view data) override;
    void OnReplyWritten(int index, Element& element) override;

    RequestHandler& handler_;
};

}  // namespace tarvik
