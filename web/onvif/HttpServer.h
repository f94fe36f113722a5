// HTTP/1.1 for the ONVIF services, on the same socket layer as the turn server: POST requests
// with a Content-Length, kept alive and taken one after the other (pipelining tolerated), at
// most 64 KiB each. What is not such a request gets its status (400, 405, 411, 413) and the
// connection ends.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SocketServer.h"

namespace tarvik {

struct HttpRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    std::string peer;  // the client's IP address
    std::string host;  // how the client reached this server: host[:port]

    // A header's value by its lower-case name, or empty.
    std::string Header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class HttpHandler {
  public:
    virtual ~HttpHandler() = default;
    virtual HttpResponse Handle(const HttpRequest& request) = 0;
};

inline constexpr std::size_t kMaxHttpRequest = 64 * 1024;

class HttpServer : public SocketServer {
  public:
    HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits = {},
               QObject* parent = nullptr);

  private:
    void OnArrival(int index, Element& element, std::string_view data) override;
    void OnReplyWritten(int index, Element& element) override;
    // Answers the first request of the element's inbox once it is whole; false while it is
    // not yet.
    bool AnswerNext(int index, Element& element);
    void Reply(int index, Element& element, const HttpResponse& response, bool keepAlive);

    HttpHandler& handler_;
};

}  // namespace tarvik
