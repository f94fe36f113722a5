// HTTP/1.1 for the ONVIF services, on the same socket layer as the turn server: each
// connection's bytes go through its HttpExchange, and what it answers is written in turn.
// Pipelined requests are answered by a loop, a bounded number per pass of the event loop; a
// request that must wait its turn holds its connection (nothing more is read from it) until a
// timer lets it go on.
#pragma once

#include <string_view>

#include "HttpExchange.h"
#include "HttpMessage.h"
#include "SocketServer.h"

namespace tarvik {

class HttpServer : public SocketServer {
  public:
    HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits = {},
               QObject* parent = nullptr);

  private:
    void OnArrival(int index, Element& element, std::string_view data) override;
    void OnReplyWritten(int index, Element& element) override;
    HttpExchange& ExchangeOf(int index, Element& element);
    // Answers what the connection's requests ask, until one is incomplete, waits, or a reply
    // cannot be written at once; a long run of pipelined requests goes on in the next pass.
    void Continue(int index);
    void ContinueLater(int index, std::chrono::milliseconds after);

    HttpHandler& handler_;
    bool continuing_ = false;  // inside Continue: a reply written at once only says so
    bool replyWritten_ = false;
};

}  // namespace tarvik
