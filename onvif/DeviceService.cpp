#include "DeviceService.h"

#include <net/if.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "DiscoveryMessages.h"
#include "MediaService.h"
#include "NetworkInterfaces.h"
#include "PtzService.h"

namespace tarvik::onvif {
namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

Markup Version() {
    return Tag("tt:Major", "2") + Tag("tt:Minor", "60");
}

// The device's capabilities as GetCapabilities lists them: elements, where GetServices has
// attributes.
Markup DeviceCapabilityElements() {
    return Tag("tt:Network", Tag("tt:IPFilter", "false") + Tag("tt:ZeroConfiguration", "false") +
                                 Tag("tt:IPVersion6", "true") + Tag("tt:DynDNS", "false")) +
           Tag("tt:System", Tag("tt:DiscoveryResolve", "false") + Tag("tt:DiscoveryBye", "true") +
                                Tag("tt:RemoteDiscovery", "false") +
                                Tag("tt:SystemBackup", "false") + Tag("tt:SystemLogging", "false") +
                                Tag("tt:FirmwareUpgrade", "false") +
                                Tag("tt:SupportedVersions", Version())) +
           Tag("tt:Security", Tag("tt:TLS1.1", "false") + Tag("tt:TLS1.2", "false") +
                                  Tag("tt:OnboardKeyGeneration", "false") +
                                  Tag("tt:AccessPolicyConfig", "false") +
                                  Tag("tt:X.509Token", "false") + Tag("tt:SAMLToken", "false") +
                                  Tag("tt:KerberosToken", "false") + Tag("tt:RELToken", "false"));
}

// One IPv4 interface as GetNetworkInterfaces lists it, with the hardware address of its
// ordinal.
Markup NetworkInterface(const Ipv4Interface& i, const std::string& hwAddress) {
    return Tag(
        "tds:NetworkInterfaces", {{"token", i.name}},
        Tag("tt:Enabled", "true") +
            Tag("tt:Info", Tag("tt:Name", i.name) + Tag("tt:HwAddress", hwAddress) +
                               Tag("tt:MTU", ReadLine("/sys/class/net/" + i.name + "/mtu"))) +
            Tag("tt:IPv4",
                Tag("tt:Enabled", "true") +
                    Tag("tt:Config", Tag("tt:Manual", Tag("tt:Address", Dotted(i.address)) +
                                                          Tag("tt:PrefixLength",
                                                              std::to_string(i.prefixLength))) +
                                         Tag("tt:DHCP", "false"))));
}

}  // namespace

std::string HwAddressText(const std::array<unsigned char, 6>& address, unsigned ordinal) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1],
                  address[2], address[3], address[4], (address[5] + ordinal) & 0xFFu);
    return text;
}

Markup DeviceServiceCapabilities() {
    return RawXml(
        "<tds:Capabilities><tds:Network IPFilter=\"false\" ZeroConfiguration=\"false\" "
        "IPVersion6=\"true\" DynDNS=\"false\"/><tds:Security UsernameToken=\"true\" "
        "HttpDigest=\"true\"/><tds:System DiscoveryResolve=\"false\" DiscoveryBye=\"true\" "
        "RemoteDiscovery=\"false\" SystemBackup=\"false\" SystemLogging=\"false\" "
        "FirmwareUpgrade=\"false\"/></tds:Capabilities>");
}

DeviceService::DeviceService(const OnvifConfig& config, const PtzControl& ptz, const Clock& clock,
                             DeviceIdentity identity)
    : config_(config), ptz_(ptz), clock_(clock), identity_(std::move(identity)) {}

void DeviceService::AddTo(OperationTable& table) {
    using S = DeviceService;
    table.Add<S>(kDevice, *this,
                 {
                     {"GetSystemDateAndTime", &S::GetSystemDateAndTime, Access::Open},
                     {"GetServices", &S::GetServices, Access::Open},
                     {"GetServiceCapabilities", &S::GetServiceCapabilities, Access::Open},
                     {"GetCapabilities", &S::GetCapabilities, Access::Open},
                     {"GetHostname", &S::GetHostname, Access::Open},
                     {"GetEndpointReference", &S::GetEndpointReference, Access::Open},
                     {"GetWsdlUrl", &S::GetWsdlUrl, Access::Open},
                     {"GetDeviceInformation", &S::GetDeviceInformation, Access::Login},
                     {"GetScopes", &S::GetScopes, Access::Login},
                     {"GetNetworkInterfaces", &S::GetNetworkInterfaces, Access::Login},
                 });
}

Reply DeviceService::GetSystemDateAndTime(const Call&) {
    const std::tm utc = UtcOf(clock_);
    const auto n = [](int value) { return std::to_string(value); };
    return Tag(
        "tds:GetSystemDateAndTimeResponse",
        Tag("tds:SystemDateAndTime",
            Tag("tt:DateTimeType", "Manual") + Tag("tt:DaylightSavings", "false") +
                Tag("tt:TimeZone", Tag("tt:TZ", "UTC0")) +
                Tag("tt:UTCDateTime", Tag("tt:Time", Tag("tt:Hour", n(utc.tm_hour)) +
                                                         Tag("tt:Minute", n(utc.tm_min)) +
                                                         Tag("tt:Second", n(utc.tm_sec))) +
                                          Tag("tt:Date", Tag("tt:Year", n(utc.tm_year + 1900)) +
                                                             Tag("tt:Month", n(utc.tm_mon + 1)) +
                                                             Tag("tt:Day", n(utc.tm_mday))))));
}

Reply DeviceService::GetDeviceInformation(const Call&) {
    return Tag("tds:GetDeviceInformationResponse",
               Tag("tds:Manufacturer", "Tarvik") +
                   Tag("tds:Model", ptz_.HasTilt() ? "Tarvik pan-tilt mount" : "Tarvik pan mount") +
                   Tag("tds:FirmwareVersion", TARVIK_VERSION) +
                   Tag("tds:SerialNumber", identity_.serial) + Tag("tds:HardwareId", "tarvik"));
}

Reply DeviceService::GetCapabilities(const Call& call) {
    const Markup device =
        Tag("tt:Device", Tag("tt:XAddr", call.base + kDevicePath) + DeviceCapabilityElements());
    const Markup media =
        Tag("tt:Media", Tag("tt:XAddr", call.base + kMediaPath) +
                            Tag("tt:StreamingCapabilities", Tag("tt:RTPMulticast", "false") +
                                                                Tag("tt:RTP_TCP", "true") +
                                                                Tag("tt:RTP_RTSP_TCP", "true")));
    const Markup ptz = Tag("tt:PTZ", Tag("tt:XAddr", call.base + kPtzPath));
    return Tag("tds:GetCapabilitiesResponse", Tag("tds:Capabilities", device + media + ptz));
}

Reply DeviceService::GetServices(const Call& call) {
    const bool capabilities = call.Arg("IncludeCapability") == "true";
    const auto service = [&](const char* ns, const char* path, const Markup& caps) {
        return Tag("tds:Service", Tag("tds:Namespace", ns) + Tag("tds:XAddr", call.base + path) +
                                      (capabilities ? Tag("tds:Capabilities", caps) : Markup()) +
                                      Tag("tds:Version", Version()));
    };
    return Tag("tds:GetServicesResponse",
               service(kDevice, kDevicePath, DeviceServiceCapabilities()) +
                   service(kMedia, kMediaPath, MediaServiceCapabilities()) +
                   service(kPtz, kPtzPath, PtzServiceCapabilities()));
}

Reply DeviceService::GetServiceCapabilities(const Call&) {
    return Tag("tds:GetServiceCapabilitiesResponse", DeviceServiceCapabilities());
}

Reply DeviceService::GetScopes(const Call&) {
    Markup scopes;
    std::istringstream ours(ScopesOf(config_.name));
    for (std::string scope; ours >> scope;) {
        scopes += Tag("tds:Scopes", Tag("tt:ScopeDef", "Fixed") + Tag("tt:ScopeItem", scope));
    }
    return Tag("tds:GetScopesResponse", scopes);
}

Reply DeviceService::GetHostname(const Call&) {
    return Tag("tds:GetHostnameResponse",
               Tag("tds:HostnameInformation",
                   Tag("tt:FromDHCP", "false") + Tag("tt:Name", identity_.hostname)));
}

// The IPv4 interfaces but loopback, as the kernel names them.
Reply DeviceService::GetNetworkInterfaces(const Call&) {
    Markup interfaces;
    unsigned ordinal = 0;
    for (const Ipv4Interface& i : Ipv4Interfaces()) {
        if ((i.flags & IFF_LOOPBACK) != 0) continue;
        interfaces += NetworkInterface(i, HwAddressText(identity_.hwAddress, ordinal++));
    }
    return Tag("tds:GetNetworkInterfacesResponse", interfaces);
}

Reply DeviceService::GetEndpointReference(const Call&) {
    return Tag("tds:GetEndpointReferenceResponse", Tag("tds:GUID", "urn:uuid:" + identity_.uuid));
}

Reply DeviceService::GetWsdlUrl(const Call&) {
    return Tag("tds:GetWsdlUrlResponse",
               Tag("tds:WsdlUrl", "http://www.onvif.org/Documents/Specifications.aspx"));
}

}  // namespace tarvik::onvif
