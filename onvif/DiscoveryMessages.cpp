#include "DiscoveryMessages.h"

#include <chrono>
#include <cstdio>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

#include "Soap.h"

namespace tarvik::onvif {
namespace {

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

DiscoveryMessages::DiscoveryMessages(std::string uuid, std::string name, std::uint16_t servicePort)
    : uuid_(std::move(uuid)), name_(std::move(name)), servicePort_(servicePort) {
    instance_ = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
}

std::string DiscoveryMessages::Hello(const std::string& xaddrs) {
    return Message("Hello", "", "<d:Hello>" + Description(xaddrs) + "</d:Hello>");
}

std::string DiscoveryMessages::Bye() {
    return Message("Bye", "",
                   "<d:Bye><wsa:EndpointReference><wsa:Address>urn:uuid:" + uuid_ +
                       "</wsa:Address></wsa:EndpointReference></d:Bye>");
}

std::optional<std::string> DiscoveryMessages::AnswerProbe(std::string_view datagram,
                                                          const std::string& localAddress) {
    auto parsed = ParseEnvelope(datagram);
    auto* envelope = std::get_if<Envelope>(&parsed);
    if (envelope == nullptr || envelope->operation.name != "Probe" ||
        envelope->operation.ns != kDiscoveryNs) {
        return std::nullopt;
    }
    const XmlElement* types = envelope->operation.Child("Types");
    const XmlElement* scopes = envelope->operation.Child("Scopes");
    if (!ProbeMatches(types ? types->text : "", scopes ? scopes->text : "", ScopesOf(name_))) {
        return std::nullopt;
    }
    const XmlElement* id = envelope->header.Child("MessageID");
    if (id != nullptr && id->text.size() > kLongestMessageId) return std::nullopt;
    const std::string xaddr =
        "http://" + localAddress + ":" + std::to_string(servicePort_) + "/onvif/device_service";
    return Message(
        "ProbeMatches", id ? id->text : "urn:uuid:",
        "<d:ProbeMatches><d:ProbeMatch>" + Description(xaddr) + "</d:ProbeMatch></d:ProbeMatches>");
}

std::string DiscoveryMessages::Description(const std::string& xaddrs) const {
    return "<wsa:EndpointReference><wsa:Address>urn:uuid:" + uuid_ +
           "</wsa:Address></wsa:EndpointReference><d:Types>dn:NetworkVideoTransmitter "
           "tds:Device</d:Types><d:Scopes>" +
           Escaped(ScopesOf(name_)) + "</d:Scopes><d:XAddrs>" + Escaped(xaddrs) +
           "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>";
}

std::string DiscoveryMessages::Message(const char* action, const std::string& relatesTo,
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

}  // namespace tarvik::onvif
