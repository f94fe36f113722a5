// HTTP/1.1 requests and responses as the ONVIF services see them, and the handler that
// answers them: plain C++, without sockets.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik {

struct HttpRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    std::string peer;  // the client's IP address
    std::string host;  // how the client reached this server: host:port

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
    // How long the next request of `peer` waits before it is handled: zero for most. When it
    // is zero the request is handled at once (the turn it was given is taken); otherwise the
    // caller asks again once the time has passed.
    virtual std::chrono::milliseconds WaitBeforeHandling(const std::string& peer) {
        (void)peer;
        return {};
    }
};

// What a request may be at most, its headers and body together.
inline constexpr std::size_t kMaxHttpRequest = 64 * 1024;

}  // namespace tarvik
