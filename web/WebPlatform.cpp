#include "WebPlatform.h"

#include "Conversions.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tarvik {

std::string LogLine(const Clock& clock, std::string_view peer, std::string_view text) {
    const std::string time = clock.TimeOfDay();
    std::string line;
    line.reserve(time.size() + peer.size() + text.size() + 4);
    line.append("[").append(time).append("] ").append(peer).append(" ").append(text);
    return line;
}

std::string LogLine(const Clock& clock, const Connection& connection, std::string_view text) {
    return LogLine(clock, connection.PeerText(), text);
}

std::string EscapeControlBytes(std::string_view text) {
    return EscapeBytes(text, false);
}

std::string PeerTextOf(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    } else if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text,
                    sizeof text);
    }
    return text;
}

std::uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

sockaddr_storage LocalAddressOf(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) local = {};
    return local;
}

}  // namespace tarvik
