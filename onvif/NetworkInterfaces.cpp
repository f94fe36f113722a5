#include "NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

namespace tarvik::onvif {

std::vector<Ipv4Interface> Ipv4Interfaces() {
    std::vector<Ipv4Interface> found;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return found;
    for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const auto* netmask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
        found.push_back({i->ifa_name, i->ifa_flags,
                         reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr,
                         netmask != nullptr ? __builtin_popcount(netmask->sin_addr.s_addr) : 0});
    }
    ::freeifaddrs(all);
    return found;
}

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace tarvik::onvif
