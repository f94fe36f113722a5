#include "HttpExchange.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "Conversions.h"

namespace tarvik {
namespace {

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        default:
            return "Internal Server Error";
    }
}

// HTTP's optional white space around a field's value: spaces and tabs.
std::string Trimmed(std::string_view text) {
    return std::string(TrimOf(text, " \t"));
}

// RFC 9110's token: what a method and a header name are made of.
bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
    });
}

FramedRequest Bad(int status) {
    FramedRequest framed;
    framed.kind = FramedRequest::Kind::Bad;
    framed.status = status;
    return framed;
}

// A Content-Length value: one run of digits. Digits are taken only while the number can still
// be a request's size, so no value, however long, is ever computed beyond that.
enum class Length { Valid, Invalid, TooLarge };
Length ReadLength(std::string_view text, std::size_t& length) {
    if (text.empty()) return Length::Invalid;
    length = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return Length::Invalid;
    }
    for (const char c : text) {
        length = length * 10 + static_cast<std::size_t>(c - '0');
        if (length > kMaxHttpRequest) return Length::TooLarge;
    }
    return Length::Valid;
}

// The request line: METHOD SP TARGET SP VERSION.
bool ReadRequestLine(std::string_view line, HttpRequest& request, std::string_view& version) {
    const auto space1 = line.find(' ');
    if (space1 == std::string_view::npos) return false;
    const auto space2 = line.find(' ', space1 + 1);
    if (space2 == std::string_view::npos) return false;
    request.method = line.substr(0, space1);
    request.target = line.substr(space1 + 1, space2 - space1 - 1);
    version = line.substr(space2 + 1);
    return IsToken(request.method) && !request.target.empty() &&
           (version == "HTTP/1.1" || version == "HTTP/1.0");
}

// Header fields, name: value. A name that is no token, whitespace before the colon or a line
// folded onto the last (RFC 9112 §5) makes the request bad.
bool ReadFields(std::string_view fields, HttpRequest& request) {
    for (std::size_t at = 0; at < fields.size();) {
        const auto end = fields.find("\r\n", at);
        const std::string_view field =
            fields.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || !IsToken(field.substr(0, colon))) return false;
        request.headers.emplace_back(AsciiLower(field.substr(0, colon)),
                                     Trimmed(field.substr(colon + 1)));
        if (end == std::string_view::npos) break;
        at = end + 2;
    }
    return true;
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return value;
    }
    return {};
}

FramedRequest FrameRequest(std::string_view inbox) {
    const auto headerEnd = inbox.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) {
        return inbox.size() > kMaxHttpRequest ? Bad(413) : FramedRequest{};
    }
    if (headerEnd + 4 > kMaxHttpRequest) return Bad(413);
    FramedRequest framed;
    HttpRequest& r = framed.request;
    const std::string_view head = inbox.substr(0, headerEnd);
    const auto lineEnd = std::min(head.find("\r\n"), head.size());
    std::string_view version;
    if (!ReadRequestLine(head.substr(0, lineEnd), r, version)) return Bad(400);
    if (lineEnd < head.size() && !ReadFields(head.substr(lineEnd + 2), r)) return Bad(400);
    const std::string connection = AsciiLower(r.Header("connection"));
    framed.keepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                             : connection.find("keep-alive") != std::string::npos;
    int lengths = 0;
    for (const auto& [name, value] : r.headers) {
        if (name == "transfer-encoding") return Bad(400);
        lengths += name == "content-length" ? 1 : 0;
    }
    if (lengths > 1) return Bad(400);
    std::size_t bodyLength = 0;
    if (lengths == 1) {
        const Length read = ReadLength(r.Header("content-length"), bodyLength);
        if (read == Length::Invalid) return Bad(400);
        if (read == Length::TooLarge) return Bad(413);
    } else if (r.method == "POST") {
        return Bad(411);
    }
    // Both terms are at most a request's size here: the sum cannot overflow.
    const std::size_t total = headerEnd + 4 + bodyLength;
    if (total > kMaxHttpRequest) return Bad(413);
    if (inbox.size() < total) return FramedRequest{};
    r.body = inbox.substr(headerEnd + 4, bodyLength);
    framed.length = total;
    framed.kind = FramedRequest::Kind::Whole;
    return framed;
}

std::string HostWithPort(const std::string& host, std::uint16_t localPort) {
    const bool usable =
        !host.empty() && host.size() < 256 && std::all_of(host.begin(), host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                   c == ':' || c == '[' || c == ']';
        });
    if (!usable) return {};
    const std::string port = ":" + std::to_string(localPort);
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return {};
        if (close + 1 == host.size()) return host + port;
        const std::string_view after = std::string_view(host).substr(close + 1);
        const bool hasPort = after.size() > 1 && after[0] == ':' &&
                             after.find_first_not_of("0123456789", 1) == std::string_view::npos;
        return hasPort ? host : std::string();
    }
    const auto colons = std::count(host.begin(), host.end(), ':');
    if (colons > 1) return "[" + host + "]" + port;  // an IPv6 literal without its brackets
    if (colons == 0) return host + port;
    const auto colon = host.find(':');
    const bool hasPort = colon > 0 && colon + 1 < host.size() &&
                         host.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
                         host.find_first_of("[]") == std::string::npos;
    return hasPort ? host : std::string();
}

std::string FormatResponse(const HttpResponse& response, bool keepAlive) {
    std::string bytes = "HTTP/1.1 " + std::to_string(response.status) + " " +
                        Reason(response.status) +
                        "\r\nServer: tarvik\r\nContent-Type: " + response.contentType +
                        "\r\nContent-Length: " + std::to_string(response.body.size()) +
                        "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n";
    for (const auto& [name, value] : response.headers) bytes += name + ": " + value + "\r\n";
    bytes += "\r\n";
    bytes += response.body;
    return bytes;
}

HttpExchange::HttpExchange(HttpHandler& handler, std::string peer, std::string localHost,
                           std::uint16_t localPort)
    : handler_(handler),
      peer_(std::move(peer)),
      localHost_(std::move(localHost)),
      localPort_(localPort) {}

void HttpExchange::Arrived(std::string_view bytes) {
    if (!ended_) inbox_.append(bytes);
}

HttpExchange::Step HttpExchange::Next() {
    if (ended_) return {};
    if (!held_) {
        FramedRequest framed = FrameRequest(inbox_);
        if (framed.kind == FramedRequest::Kind::Incomplete) return {};
        if (framed.kind == FramedRequest::Kind::Bad) {
            inbox_.clear();
            ended_ = true;
            const HttpResponse refusal{framed.status, "text/plain", Reason(framed.status), {}};
            return {Step::Kind::Reply, FormatResponse(refusal, false), true, {}};
        }
        inbox_.erase(0, framed.length);
        framed.request.peer = peer_;
        const std::string host = HostWithPort(framed.request.Header("host"), localPort_);
        framed.request.host = host.empty() ? localHost_ : host;
        held_.emplace(std::move(framed.request), framed.keepAlive);
    }
    const auto wait = handler_.WaitBeforeHandling(peer_);
    if (wait.count() > 0) return {Step::Kind::Wait, {}, false, wait};
    const auto [request, keepAlive] = std::move(*held_);
    held_.reset();
    return Answer(request, keepAlive);
}

HttpExchange::Step HttpExchange::Answer(const HttpRequest& request, bool keepAlive) {
    HttpResponse response;
    if (request.method != "POST") {
        response = {405, "text/plain", "Method Not Allowed", {{"Allow", "POST"}}};
    } else {
        response = handler_.Handle(request);
    }
    if (!keepAlive) {
        ended_ = true;
        inbox_.clear();
    }
    return {Step::Kind::Reply, FormatResponse(response, keepAlive), !keepAlive, {}};
}

}  // namespace tarvik
