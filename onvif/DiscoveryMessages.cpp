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
    return Message("Hello", "", Tag("d:Hello", Description(xaddrs)));
}

std::string DiscoveryMessages::Bye() {
    return Message(
        "Bye", "",
        Tag("d:Bye", Tag("wsa:EndpointReference", Tag("wsa:Address", "urn:uuid:" + uuid_))));
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
    return Message("ProbeMatches", id ? id->text : "urn:uuid:",
                   Tag("d:ProbeMatches", Tag("d:ProbeMatch", Description(xaddr))));
}

Markup DiscoveryMessages::Description(const std::string& xaddrs) const {
    return Tag("wsa:EndpointReference", Tag("wsa:Address", "urn:uuid:" + uuid_)) +
           Tag("d:Types", "dn:NetworkVideoTransmitter tds:Device") +
           Tag("d:Scopes", ScopesOf(name_)) + Tag("d:XAddrs", xaddrs) +
           Tag("d:MetadataVersion", "1");
}

std::string DiscoveryMessages::Message(const char* action, const std::string& relatesTo,
                                       const Markup& body) {
    const bool reply = !relatesTo.empty();
    const Markup header =
        Tag("wsa:MessageID", "urn:uuid:" + NewUuid()) +
        (reply ? Tag("wsa:RelatesTo", relatesTo) : Markup()) +
        Tag("wsa:To", reply ? "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
                            : "urn:schemas-xmlsoap-org:ws:2005:04:discovery") +
        Tag("wsa:Action", std::string(kDiscoveryNs) + "/" + action) +
        EmptyTag("d:AppSequence", {{"InstanceId", std::to_string(instance_)},
                                   {"MessageNumber", std::to_string(++messageNumber_)}});
    return Document(Tag("env:Envelope",
                        {{"xmlns:env", kSoap12},
                         {"xmlns:wsa", "http://schemas.xmlsoap.org/ws/2004/08/addressing"},
                         {"xmlns:d", kDiscoveryNs},
                         {"xmlns:dn", "http://www.onvif.org/ver10/network/wsdl"},
                         {"xmlns:tds", kDevice}},
                        Tag("env:Header", header) + Tag("env:Body", body)));
}

}  // namespace tarvik::onvif
