// HTTP/1.1 for the ONVIF services, on the same socket layer as the turn server: each
// connection's bytes go through its HttpExchange, and what it answers is written in turn.
// Pipelined requests are answered one after the other, a bounded number per pass of the event
// loop (the socket layer's); a request that must wait its turn holds its connection (nothing
// more is read from it) until its time is over.
#pragma once

#include "HttpMessage.h"
#include "SocketServer.h"

namespace tarvik {

class HttpServer : public SocketServer {
  public:
    HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits = {},
               QObject* parent = nullptr);
};

}  // namespace tarvik
