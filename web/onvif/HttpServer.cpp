#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <charconv>

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

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// A Host header that can be put into a URL as it stands.
bool UsableHost(const std::string& host) {
    return !host.empty() && host.size() < 256 && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
               c == '[' || c == ']';
    });
}

// The address and port this connection reached, as a URL's host part.
std::string LocalHost(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return "localhost";
    const std::string address = PeerTextOf(local);
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(local);
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(local);
    const int port = ntohs(local.ss_family == AF_INET6 ? v6.sin6_port : v4.sin_port);
    const bool bracket = address.find(':') != std::string::npos;
    return (bracket ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

struct Parsed {
    enum class Kind { Incomplete, Whole, Bad } kind = Kind::Incomplete;
    int status = 400;  // with Bad
    HttpRequest request;
    bool keepAlive = false;
    std::size_t length = 0;  // bytes of the inbox it takes
};

Parsed Bad(int status) {
    Parsed parsed;
    parsed.kind = Parsed::Kind::Bad;
    parsed.status = status;
    return parsed;
}

Parsed Parse(const std::string& inbox) {
    const auto headerEnd = inbox.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return inbox.size() > kMaxHttpRequest ? Bad(413) : Parsed{};
    }
    Parsed parsed;
    HttpRequest& r = parsed.request;
    const std::string_view head(inbox.data(), headerEnd);
    const auto lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const auto space1 = line.find(' ');
    const auto space2 = line.find(' ', space1 + 1);
    if (space1 == std::string_view::npos || space2 == std::string_view::npos) return Bad(400);
    r.method = line.substr(0, space1);
    r.target = line.substr(space1 + 1, space2 - space1 - 1);
    const std::string_view version = line.substr(space2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return Bad(400);
    for (std::size_t at = lineEnd; at != std::string_view::npos && at < head.size();) {
        const auto next = head.find("\r\n", at + 2);
        const std::string_view field = head.substr(
            at + 2, next == std::string_view::npos ? std::string_view::npos : next - at - 2);
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) return Bad(400);
        r.headers.emplace_back(Lower(field.substr(0, colon)), Trimmed(field.substr(colon + 1)));
        at = next;
    }
    const std::string connection = Lower(r.Header("connection"));
    parsed.keepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                             : connection.find("keep-alive") != std::string::npos;
    if (!r.Header("transfer-encoding").empty()) return Bad(400);
    std::size_t bodyLength = 0;
    const std::string length = r.Header("content-length");
    if (!length.empty()) {
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), bodyLength);
        if (error != std::errc() || end != length.data() + length.size()) return Bad(400);
    } else if (r.method == "POST") {
        return Bad(411);
    }
    if (headerEnd + 4 + bodyLength > kMaxHttpRequest) return Bad(413);
    if (inbox.size() < headerEnd + 4 + bodyLength) return Parsed{};
    r.body = inbox.substr(headerEnd + 4, bodyLength);
    parsed.length = headerEnd + 4 + bodyLength;
    parsed.kind = Parsed::Kind::Whole;
    return parsed;
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return value;
    }
    return {};
}

HttpServer::HttpServer(HttpHandler& handler, DescriptorBudget& budget, ServerLimits limits,
                       QObject* parent)
    : SocketServer(budget, limits, parent), handler_(handler) {
    // Requests that follow one still being answered wait in the kernel.
    readWhileAnswering_ = false;
}

void HttpServer::OnArrival(int index, Element& element, std::string_view data) {
    element.inbox.append(data);
    AnswerNext(index, element);
}

bool HttpServer::AnswerNext(int index, Element& element) {
    Parsed parsed = Parse(element.inbox);
    if (parsed.kind == Parsed::Kind::Incomplete) return false;
    if (parsed.kind == Parsed::Kind::Bad) {
        element.inbox.clear();
        Reply(index, element, {parsed.status, "text/plain", Reason(parsed.status), {}}, false);
        return true;
    }
    element.inbox.erase(0, parsed.length);
    parsed.request.peer = PeerTextOf(element.peer);
    const std::string host = parsed.request.Header("host");
    parsed.request.host = UsableHost(host) ? host : LocalHost(element.fd);
    HttpResponse response;
    if (parsed.request.method != "POST") {
        response = {405, "text/plain", "Method Not Allowed", {{"Allow", "POST"}}};
    } else {
        response = handler_.Handle(parsed.request);
    }
    Reply(index, element, response, parsed.keepAlive);
    return true;
}

void HttpServer::Reply(int index, Element& element, const HttpResponse& response, bool keepAlive) {
    auto bytes = std::make_shared<std::string>();
    *bytes = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) +
             "\r\nServer: tarvik\r\nContent-Type: " + response.contentType +
             "\r\nContent-Length: " + std::to_string(response.body.size()) +
             "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n";
    for (const auto& [name, value] : response.headers) *bytes += name + ": " + value + "\r\n";
    *bytes += "\r\n";
    *bytes += response.body;
    ElementConnection(element).SendShared(std::move(bytes));
    element.endsAfterReply = !keepAlive;
    Answered(index);
}

void HttpServer::OnReplyWritten(int index, Element& element) {
    if (element.endsAfterReply) {
        if (element.peerClosed) {
            Free(index);
        } else {
            StartLinger(index);
        }
        return;
    }
    if (!AnswerNext(index, element)) ReadAgain(index);
}

}  // namespace tarvik
