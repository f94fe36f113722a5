// The turn and chat server: one GET request per connection, answered once. A request whose
// header has ended, with nothing after it, is closed at once after its reply; otherwise the
// server shuts its sending side down and lingers: what still arrives is read and dropped, so
// that unread request bytes never make the kernel reset a reply the client has not read yet.
// A peer that closes its own sending side after the request still gets the whole reply.
#pragma once

#include "SocketServer.h"

namespace tarvik {

class RequestHandler;

class WebServer : public SocketServer {
  public:
    WebServer(RequestHandler& handler, DescriptorBudget& budget, ServerLimits limits = {},
              QObject* parent = nullptr);
};

}  // namespace tarvik
