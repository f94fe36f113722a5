#include "Discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <chrono>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

#include "FileHelpers.h"
#include "Soap.h"

namespace tarvik::onvif {
namespace {

constexpr std::uint16_t kDiscoveryPort = 3702;
constexpr const char* kGroup = "239.255.255.250";
constexpr const char* kDiscoveryNs = "http://schemas.xmlsoap.org/ws/2005/04/discovery";

std::string NewUuid() {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-4%03x-a%03x-%04x%08x", random(), random() & 0xFFFF,
                  random() & 0xFFF, random() & 0xFFF, random() & 0xFFFF, random());
    return text;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// Every IPv4 interface that takes multicast: its index and address.
std::vector<std::pair<int, in_addr>> MulticastInterfaces() {
    std::vector<std::pair<int, in_addr>> found;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return found;
    for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_MULTICAST) == 0 || (i->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        found.emplace_back(static_cast<int>(::if_nametoindex(i->ifa_name)),
                           reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr);
    }
    ::freeifaddrs(all);
    return found;
}

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace

std::string ScopesOf(const std::string& name) {
    std::string encoded;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    return "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/name/" + encoded +
           " onvif://www.onvif.org/hardware/tarvik onvif://www.onvif.org/Profile/Streaming";
}

// Types match by local name (a prefix's namespace is not resolved); a scope matches one of
// ours that it equals or that it is a path prefix of.
bool ProbeMatches(const std::string& types, const std::string& scopes,
                  const std::string& ourScopes) {
    for (const std::string& type : Words(types)) {
        const std::string local = type.substr(type.find(':') + 1);
        if (local != "NetworkVideoTransmitter" && local != "Device") return false;
    }
    const std::vector<std::string> ours = Words(ourScopes);
    for (const std::string& scope : Words(scopes)) {
        bool found = false;
        for (const std::string& our : ours) {
            found = found || our == scope ||
                    (our.starts_with(scope) && (scope.ends_with("/") || our[scope.size()] == '/'));
        }
        if (!found) return false;
    }
    return true;
}

Discovery::Discovery(std::string uuid, std::string name, std::uint16_t servicePort)
    : uuid_(std::move(uuid)), name_(std::move(name)), servicePort_(servicePort) {
    instance_ = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
}

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
    address.sin_port = htons(kDiscoveryPort);
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &yes, sizeof yes) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return std::string("UDP port 3702: ") + std::strerror(errno);
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
        xaddrs.append(std::to_string(servicePort_)).append("/onvif/device_service");
    }
    SendToGroup(Message("Hello", "", "<d:Hello>" + Description(xaddrs) + "</d:Hello>"));
    helloSaid_ = true;
    return {};
}

void Discovery::Stop() {
    if (!helloSaid_) return;
    helloSaid_ = false;
    SendToGroup(Message("Bye", "",
                        "<d:Bye><wsa:EndpointReference><wsa:Address>urn:uuid:" + uuid_ +
                            "</wsa:Address></wsa:EndpointReference></d:Bye>"));
}

std::string Discovery::Description(const std::string& xaddrs) const {
    return "<wsa:EndpointReference><wsa:Address>urn:uuid:" + uuid_ +
           "</wsa:Address></wsa:EndpointReference><d:Types>dn:NetworkVideoTransmitter "
           "tds:Device</d:Types><d:Scopes>" +
           Escaped(ScopesOf(name_)) + "</d:Scopes><d:XAddrs>" + Escaped(xaddrs) +
           "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>";
}

std::string Discovery::Message(const char* action, const std::string& relatesTo,
                               const std::string& body) {
    const bool reply = !relatesTo.empty();
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><env:Envelope xmlns:env=\"") +
           kSoap12 +
           "\" xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" xmlns:d=\"" +
           kDiscoveryNs + "\" xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" xmlns:tds=\"" +
           kDevice + "\"><env:Header><wsa:MessageID>urn:uuid:" + NewUuid() + "</wsa:MessageID>" +
           (reply ? "<wsa:RelatesTo>" + Escaped(relatesTo) + "</wsa:RelatesTo>" : "") + "<wsa:To>" +
           (reply ? "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
                  : "urn:schemas-xmlsoap-org:ws:2005:04:discovery") +
           "</wsa:To><wsa:Action>" + kDiscoveryNs + "/" + action +
           "</wsa:Action><d:AppSequence InstanceId=\"" + std::to_string(instance_) +
           "\" MessageNumber=\"" + std::to_string(++messageNumber_) +
           "\"/></env:Header><env:Body>" + body + "</env:Body></env:Envelope>";
}

void Discovery::SendToGroup(const std::string& message) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kGroup, &group.sin_addr);
    for (const auto& [index, local] : MulticastInterfaces()) {
        ip_mreqn via{};
        via.imr_ifindex = index;
        ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
        ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&group), sizeof group);
    }
}

// A Probe is answered from the address it reached, straight to its sender.
void Discovery::OnReadable() {
    for (int i = 0; i < 64; ++i) {
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
        in_addr local{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                local = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_spec_dst;
            }
        }
        auto parsed = ParseEnvelope(std::string_view(data, static_cast<std::size_t>(got)));
        auto* envelope = std::get_if<Envelope>(&parsed);
        if (envelope == nullptr || envelope->operation.name != "Probe" ||
            envelope->operation.ns != kDiscoveryNs) {
            continue;
        }
        const XmlElement* types = envelope->operation.Child("Types");
        const XmlElement* scopes = envelope->operation.Child("Scopes");
        if (!ProbeMatches(types ? types->text : "", scopes ? scopes->text : "", ScopesOf(name_))) {
            continue;
        }
        const XmlElement* id = envelope->header.Child("MessageID");
        const std::string xaddr = "http://" + Dotted(local) + ":" + std::to_string(servicePort_) +
                                  "/onvif/device_service";
        const std::string reply = Message("ProbeMatches", id ? id->text : "urn:uuid:",
                                          "<d:ProbeMatches><d:ProbeMatch>" + Description(xaddr) +
                                              "</d:ProbeMatch></d:ProbeMatches>");
        ::sendto(fd_, reply.data(), reply.size(), MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&sender), message.msg_namelen);
    }
}

}  // namespace tarvik::onvif
