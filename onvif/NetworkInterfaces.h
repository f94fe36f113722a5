// The machine's IPv4 interface addresses, as the kernel lists them: for the device service's
// GetNetworkInterfaces and for the multicast groups discovery joins.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace tarvik::onvif {

struct Ipv4Interface {
    std::string name;
    unsigned flags;  // IFF_UP, IFF_LOOPBACK, IFF_MULTICAST, …
    in_addr address;
    int prefixLength;  // the bits set in its netmask; 0 when it has none
};

// Every IPv4 address of every interface, in the kernel's order; none when they cannot be read.
std::vector<Ipv4Interface> Ipv4Interfaces();

// 192.0.2.1
std::string Dotted(in_addr address);

}  // namespace tarvik::onvif
