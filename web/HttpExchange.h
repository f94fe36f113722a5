// One connection's HTTP/1.1 requests, framed as their bytes arrive: POST requests with a
// Content-Length, kept alive and taken one after the other (pipelining included), at most
// 64 KiB each. Each whole request is handed to the handler exactly once, with exactly the
// bytes taken off the connection as its body. What cannot be framed gets one reply (400, 411,
// 413) and ends the connection:
// - a Content-Length that is not one run of digits, a second Content-Length, a list of them,
//   or any Transfer-Encoding (RFC 9112 §6.3): 400;
// - a Content-Length larger than a request may be: 413 as soon as the headers are read, with
//   no arithmetic on the number.
// Plain C++: the socket layer feeds it bytes and writes what it returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "HttpMessage.h"

namespace tarvik {

// The first request of `inbox`, framed: not whole yet, whole (taking `length` bytes), or bad.
struct FramedRequest {
    enum class Kind { Incomplete, Whole, Bad } kind = Kind::Incomplete;
    int status = 400;  // with Bad
    HttpRequest request;
    bool keepAlive = false;
    std::size_t length = 0;
};
FramedRequest FrameRequest(std::string_view inbox);

// A Host header as a URL's host part with a port: the connection's port where it names none,
// an IPv6 literal in brackets; empty when it cannot stand in a URL.
std::string HostWithPort(const std::string& host, std::uint16_t localPort);

class HttpExchange {
  public:
    // `localHost` (address:port the connection reached) stands in for a Host header that
    // cannot be used.
    HttpExchange(HttpHandler& handler, std::string peer, std::string localHost,
                 std::uint16_t localPort);

    void Arrived(std::string_view bytes);

    struct Step {
        enum class Kind { NeedMore, Reply, Wait } kind = Kind::NeedMore;
        std::string bytes;                 // Reply: the whole response
        bool close = false;                // Reply: the connection ends after it
        std::chrono::milliseconds wait{};  // Wait: ask again after this
    };
    // The next thing to do: the reply to the next whole request, a wait before it is handled,
    // or nothing until more bytes arrive. After a reply that closes, always NeedMore.
    Step Next();
    bool Ended() const { return ended_; }

  private:
    Step Answer(const HttpRequest& request, bool keepAlive);

    HttpHandler& handler_;
    std::string peer_;
    std::string localHost_;
    std::uint16_t localPort_;
    std::string inbox_;
    std::optional<std::pair<HttpRequest, bool>> held_;  // framed, waiting for its turn
    bool ended_ = false;
};

// The status line, headers and body of a response.
std::string FormatResponse(const HttpResponse& response, bool keepAlive);

}  // namespace tarvik
