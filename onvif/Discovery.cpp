#include "Discovery.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cstring>
#include <vector>

#include "FileHelpers.h"
#include "NetworkInterfaces.h"

namespace tarvik::onvif {
namespace {

constexpr const char* kGroup = "239.255.255.250";
constexpr int kDatagramsPerPass = 64;

// Every IPv4 interface that takes multicast: its index and address.
std::vector<std::pair<int, in_addr>> MulticastInterfaces() {
    std::vector<std::pair<int, in_addr>> found;
    for (const Ipv4Interface& i : Ipv4Interfaces()) {
        if ((i.flags & IFF_MULTICAST) == 0 || (i.flags & IFF_UP) == 0) continue;
        found.emplace_back(static_cast<int>(::if_nametoindex(i.name.c_str())), i.address);
    }
    return found;
}

// The IPv4 address of the interface with that index, or 0.0.0.0.
in_addr AddressOf(int interface) {
    for (const auto& [index, address] : MulticastInterfaces()) {
        if (index == interface) return address;
    }
    return {};
}

}  // namespace

Discovery::Discovery(std::string uuid, std::string name, std::uint16_t servicePort,
                     DiscoveryLimits limits)
    : messages_(std::move(uuid), std::move(name), servicePort),
      limits_(limits),
      random_(std::random_device{}()) {}

Discovery::~Discovery() {
    Stop();
    delete notifier_;
    CloseIfOpen(fd_);
}

std::string Discovery::Start() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(limits_.port);
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &yes, sizeof yes) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return "UDP port " + std::to_string(limits_.port) + ": " + std::strerror(errno);
    }
    for (const auto& [index, local] : MulticastInterfaces()) {
        ip_mreqn join{};
        ::inet_pton(AF_INET, kGroup, &join.imr_multiaddr);
        join.imr_ifindex = index;
        ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &Discovery::OnReadable);
    std::string xaddrs;
    for (const auto& [index, local] : MulticastInterfaces()) {
        if ((ntohl(local.s_addr) >> 24) == 127) continue;
        if (!xaddrs.empty()) xaddrs += ' ';
        xaddrs.append("http://").append(Dotted(local)).append(":");
        xaddrs.append(std::to_string(messages_.ServicePort())).append("/onvif/device_service");
    }
    SendToGroup(messages_.Hello(xaddrs));
    helloSaid_ = true;
    return {};
}

void Discovery::Stop() {
    if (!helloSaid_) return;
    helloSaid_ = false;
    SendToGroup(messages_.Bye());
}

std::uint16_t Discovery::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

void Discovery::SendToGroup(const std::string& message) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(limits_.port);
    ::inet_pton(AF_INET, kGroup, &group.sin_addr);
    for (const auto& [index, local] : MulticastInterfaces()) {
        ip_mreqn via{};
        via.imr_ifindex = index;
        ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
        ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&group), sizeof group);
    }
}

// Within the current second: at most the limit from this source and in all.
bool Discovery::Admitted(const std::string& source) {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        readInWindow_ = 0;
        readBySource_.clear();
    }
    if (readInWindow_ >= limits_.totalPerSecond) return false;
    int& fromSource = readBySource_[source];  // at most totalPerSecond entries a second
    if (fromSource >= limits_.perSourcePerSecond) return false;
    ++fromSource;
    ++readInWindow_;
    return true;
}

// A Probe is answered from the address it reached, straight to its sender; one sent to the
// group after a random delay.
void Discovery::OnReadable() {
    for (int i = 0; i < kDatagramsPerPass; ++i) {
        char data[8192];
        char control[256];
        sockaddr_in sender{};
        iovec part{data, sizeof data};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT);
        if (got <= 0) return;
        if (!Admitted(Dotted(sender.sin_addr))) continue;
        in_addr local{};
        int interface = 0;
        bool toGroup = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                const auto* info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
                local = info->ipi_spec_dst;
                interface = info->ipi_ifindex;
                toGroup = IN_MULTICAST(ntohl(info->ipi_addr.s_addr));
            }
        }
        // A probe to the group may come without a local address (on loopback, for one): the
        // address of the interface it came in on is where the services are reached.
        if (local.s_addr == htonl(INADDR_ANY)) local = AddressOf(interface);
        auto answer = messages_.AnswerProbe(std::string_view(data, static_cast<std::size_t>(got)),
                                            Dotted(local));
        if (!answer) continue;
        const auto send = [this, sender, reply = std::move(*answer)] {
            ::sendto(fd_, reply.data(), reply.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
        };
        if (toGroup) {
            const auto longest = static_cast<int>(limits_.longestDelay.count());
            QTimer::singleShot(std::uniform_int_distribution<int>(0, longest)(random_), this, send);
        } else {
            send();
        }
    }
}

}  // namespace tarvik::onvif
