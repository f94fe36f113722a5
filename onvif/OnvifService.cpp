#include "OnvifService.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "DiscoveryMessages.h"

namespace tarvik::onvif {
namespace {

constexpr const char* kPositionSpace =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
constexpr const char* kTranslationSpace =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationGenericSpace";
constexpr const char* kFovSpace =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationSpaceFov";
constexpr const char* kVelocitySpace =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
constexpr const char* kSpeedSpace =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace";
constexpr const char* kZoomPositionSpace =
    "http://www.onvif.org/ver10/tptz/ZoomSpaces/PositionGenericSpace";
constexpr const char* kProfileToken = "profile_1";
constexpr const char* kNodeToken = "ptz_node_1";
constexpr const char* kPtzConfigToken = "ptz_config_1";
constexpr const char* kSourceToken = "video_source_1";

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string shown = text;
    while (shown.back() == '0') shown.pop_back();
    if (shown.back() == '.') shown.pop_back();
    return shown == "-0" ? "0" : shown;
}

std::string Tag(const std::string& name, const std::string& content) {
    return "<" + name + ">" + content + "</" + name + ">";
}

std::string Range(const char* element, double min, double max) {
    return Tag(element, Tag("tt:Min", Number(min)) + Tag("tt:Max", Number(max)));
}

std::string Space2D(const char* element, const char* uri, double x, double y) {
    return Tag(element, Tag("tt:URI", uri) + Range("tt:XRange", -x, x) + Range("tt:YRange", -y, y));
}

std::string UtcNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

Fault Sender(std::vector<std::string> subcodes, std::string reason) {
    return {"env:Sender", std::move(subcodes), std::move(reason)};
}

Fault NotSupported(std::string reason) {
    return {"env:Receiver", {"ter:ActionNotSupported"}, std::move(reason)};
}

// A float as clients write them (3, -0.5, 1E-05), or nothing for what is not a finite number.
std::optional<double> Float(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// A vector's component: absent (nullopt), or a number within [-limit, limit]; `bad` is set
// for one that is not.
std::optional<double> Component(const XmlElement* vector, const char* name, double limit,
                                bool& bad) {
    if (vector == nullptr || vector->Attribute(name).empty()) return std::nullopt;
    const auto value = Float(vector->Attribute(name));
    if (!value || std::abs(*value) > limit) bad = true;
    return value;
}

// The speed of a request: its PanTilt x, at most 1, and 1 when none is given; nothing for a
// negative one or one that is not a finite number.
std::optional<double> SpeedOf(const XmlElement& op) {
    const XmlElement* speed = op.Find({"Speed", "PanTilt"});
    if (speed == nullptr || speed->Attribute("x").empty()) return 1.0;
    const auto value = Float(speed->Attribute("x"));
    if (!value || *value < 0) return std::nullopt;
    return std::min(*value, 1.0);
}

Fault BadSpeed() {
    return Sender({"ter:InvalidArgVal"}, "Speed is negative or not a number");
}

bool Blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(const std::string& text) {
    if (!text.starts_with("PT") || text.size() == 2) return std::nullopt;
    double total = 0;
    std::size_t at = 2;
    while (at < text.size()) {
        char* end = nullptr;
        const double value = std::strtod(text.c_str() + at, &end);
        const auto next = static_cast<std::size_t>(end - text.c_str());
        if (next == at || next >= text.size() || !(value >= 0)) return std::nullopt;
        const char unit = text[next];
        at = next + 1;
        total += value * (unit == 'H' ? 3600 : unit == 'M' ? 60 : unit == 'S' ? 1 : -1e12);
    }
    if (!(total >= 0) || total > 86400) return std::nullopt;
    return std::chrono::milliseconds(std::lround(total * 1000));
}

namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string HwAddressText(const std::array<unsigned char, 6>& address, unsigned ordinal) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1],
                  address[2], address[3], address[4], (address[5] + ordinal) & 0xFFu);
    return text;
}

OnvifService::OnvifService(const OnvifConfig& config, PtzControl& ptz, Presets& presets,
                           OnvifAuth* auth, LineList& requestLog, const Clock& clock,
                           DeviceIdentity identity, Notice notice)
    : config_(config),
      ptz_(ptz),
      presets_(presets),
      auth_(auth),
      requestLog_(requestLog),
      clock_(clock),
      identity_(std::move(identity)),
      notice_(std::move(notice)) {}

const std::map<std::pair<std::string, std::string>, OnvifService::Entry>&
OnvifService::Operations() {
    using S = OnvifService;
    static const std::map<std::pair<std::string, std::string>, Entry> table = {
        {{kDevice, "GetSystemDateAndTime"}, {&S::GetSystemDateAndTime, true, false}},
        {{kDevice, "GetServices"}, {&S::GetServices, true, false}},
        {{kDevice, "GetServiceCapabilities"}, {&S::DeviceCapabilities, true, false}},
        {{kDevice, "GetCapabilities"}, {&S::GetCapabilities, true, false}},
        {{kDevice, "GetHostname"}, {&S::GetHostname, true, false}},
        {{kDevice, "GetEndpointReference"}, {&S::GetEndpointReference, true, false}},
        {{kDevice, "GetWsdlUrl"}, {&S::GetWsdlUrl, true, false}},
        {{kDevice, "GetDeviceInformation"}, {&S::GetDeviceInformation, false, false}},
        {{kDevice, "GetScopes"}, {&S::GetScopes, false, false}},
        {{kDevice, "GetNetworkInterfaces"}, {&S::GetNetworkInterfaces, false, false}},
        {{kMedia, "GetServiceCapabilities"}, {&S::MediaCapabilities, true, false}},
        {{kMedia, "GetProfiles"}, {&S::GetProfiles, false, false}},
        {{kMedia, "GetProfile"}, {&S::GetProfile, false, false}},
        {{kMedia, "GetVideoSources"}, {&S::GetVideoSources, false, false}},
        {{kMedia, "GetStreamUri"}, {&S::GetStreamUri, false, false}},
        {{kMedia, "GetSnapshotUri"}, {&S::GetSnapshotUri, false, false}},
        {{kPtz, "GetServiceCapabilities"}, {&S::PtzCapabilities, true, false}},
        {{kPtz, "GetNodes"}, {&S::GetNodes, false, false}},
        {{kPtz, "GetNode"}, {&S::GetNode, false, false}},
        {{kPtz, "GetConfigurations"}, {&S::GetConfigurations, false, false}},
        {{kPtz, "GetConfiguration"}, {&S::GetConfiguration, false, false}},
        {{kPtz, "GetConfigurationOptions"}, {&S::GetConfigurationOptions, false, false}},
        {{kPtz, "GetStatus"}, {&S::GetStatus, false, false}},
        {{kPtz, "AbsoluteMove"}, {&S::AbsoluteMove, false, true}},
        {{kPtz, "RelativeMove"}, {&S::RelativeMove, false, true}},
        {{kPtz, "ContinuousMove"}, {&S::ContinuousMove, false, true}},
        {{kPtz, "Stop"}, {&S::Stop, false, true}},
        {{kPtz, "GotoHomePosition"}, {&S::GotoHomePosition, false, true}},
        {{kPtz, "SetHomePosition"}, {&S::SetHomePosition, false, false}},
        {{kPtz, "GetPresets"}, {&S::GetPresets, false, false}},
        {{kPtz, "SetPreset"}, {&S::SetPreset, false, true}},
        {{kPtz, "GotoPreset"}, {&S::GotoPreset, false, true}},
        {{kPtz, "RemovePreset"}, {&S::RemovePreset, false, true}},
    };
    return table;
}

std::chrono::milliseconds OnvifService::WaitBeforeHandling(const std::string& peer) {
    return auth_ != nullptr ? throttle_.WaitBeforeHandling(peer) : std::chrono::milliseconds{};
}

HttpResponse OnvifService::Handle(const HttpRequest& request) {
    if (request.target != kDevicePath && request.target != kMediaPath &&
        request.target != kPtzPath) {
        return {404, "text/plain", "Not Found", {}};
    }
    // What a Digest client sends first, before it knows the challenge: an empty body.
    if (Blank(request.body)) {
        if (auto refused = Refusal(request, {}, true, {nullptr, false, false})) return *refused;
    }
    auto parsed = ParseEnvelope(request.body);
    if (auto* problem = std::get_if<std::string>(&parsed)) {
        return Respond(true, Sender({"ter:WellFormed"}, "Not a SOAP request: " + *problem));
    }
    const Envelope& envelope = std::get<Envelope>(parsed);
    const Call call{request, envelope, "http://" + request.host};
    const auto found = Operations().find({call.op().ns, call.op().name});
    if (found == Operations().end()) {
        return Respond(envelope.soap12, NotSupported(call.op().name + " is not offered"));
    }
    if (auto refused = Refusal(request, envelope.header, envelope.soap12, found->second)) {
        return *refused;
    }
    const Reply reply = (this->*found->second.operation)(call);
    if (found->second.changes && std::holds_alternative<std::string>(reply)) {
        Log(request.peer, call.op().name);
    }
    return Respond(envelope.soap12, reply);
}

// No credentials: 401 with the Digest challenges, so that Digest clients can answer them.
// Refused ones: a SOAP fault (WS-Security) or 401 again (Digest); a guess or a replay also
// counts against the peer's turns. Said once a minute per client and cause.
std::optional<HttpResponse> OnvifService::Refusal(const HttpRequest& http,
                                                  const XmlElement& soapHeader, bool soap12,
                                                  const Entry& entry) {
    if (auth_ == nullptr || entry.open) return std::nullopt;
    const auto verdict = auth_->Check(soapHeader, http.Header("authorization"),
                                      {http.method, http.target, http.peer, entry.changes});
    if (verdict == OnvifAuth::Verdict::Allowed) {
        throttle_.LoggedIn(http.peer);
        return std::nullopt;
    }
    if (verdict == OnvifAuth::Verdict::Refused) {
        const auto why = auth_->LastRefusal();
        const bool guess =
            why == OnvifAuth::Refusal::WrongCredentials || why == OnvifAuth::Refusal::Replayed;
        SayRefusal(http.peer, why, guess ? throttle_.Refused(http.peer) : 0);
    }
    if (auth_->RefusedWsSecurity()) {
        HttpResponse response =
            Respond(soap12, Sender({"ter:NotAuthorized"}, "Sender not authorized"));
        response.status = 400;
        return response;
    }
    HttpResponse response{401, "text/plain", "Unauthorized", {}};
    for (const std::string& challenge : auth_->Challenges()) {
        response.headers.emplace_back("WWW-Authenticate", challenge);
    }
    return response;
}

void OnvifService::SayRefusal(const std::string& peer, OnvifAuth::Refusal why, int refusals) {
    if (why == OnvifAuth::Refusal::Stale) return;  // an expired nonce: the client asks anew
    const auto now = std::chrono::steady_clock::now();
    auto& said = refusalSaid_[peer + " " + std::to_string(static_cast<int>(why))];
    if (said.time_since_epoch().count() != 0 && now - said < std::chrono::minutes(1)) return;
    said = now;
    if (refusalSaid_.size() > 1000) refusalSaid_.clear();
    std::string text = "ONVIF: " + peer + " was refused: ";
    switch (why) {
        case OnvifAuth::Refusal::Replayed:
            text += "credentials it had sent before came again";
            break;
        case OnvifAuth::Refusal::OutsideWindow:
            text +=
                "its token was made more than 5 minutes before or 5 seconds after this "
                "machine's time, or before Tarvik had run 5 seconds (are both clocks set?)";
            break;
        case OnvifAuth::Refusal::Full:
            text += "too many logins within 5 minutes; new ones are taken as old ones expire";
            break;
        default:
            text += "wrong user or password";
    }
    if (refusals > 0) {
        text += " (" + std::to_string(refusals) + (refusals == 1 ? " refusal" : " refusals");
        const auto spacing = throttle_.Spacing(peer);
        if (spacing.count() > 0) {
            text += "; its requests now wait their turn, " +
                    std::to_string(spacing.count() / 1000) + " s apart";
        }
        text += ")";
    }
    notice_(text);
}

HttpResponse OnvifService::Respond(bool soap12, const Reply& reply) const {
    const std::string envelopeNs = soap12 ? kSoap12 : kSoap11;
    std::string body;
    int status = 200;
    if (const auto* content = std::get_if<std::string>(&reply)) {
        body = *content;
    } else {
        const Fault& fault = std::get<Fault>(reply);
        status = 500;
        if (soap12) {
            std::string code = "<env:Value>" + std::string(fault.code) + "</env:Value>";
            std::string subcodes;
            for (auto it = fault.subcodes.rbegin(); it != fault.subcodes.rend(); ++it) {
                subcodes = Tag("env:Subcode", Tag("env:Value", *it) + subcodes);
            }
            body =
                Tag("env:Fault", Tag("env:Code", code + subcodes) +
                                     Tag("env:Reason", "<env:Text xml:lang=\"en\">" +
                                                           Escaped(fault.reason) + "</env:Text>"));
        } else {
            const bool sender = std::string(fault.code) == "env:Sender";
            body = Tag("env:Fault", Tag("faultcode", sender ? "env:Client" : "env:Server") +
                                        Tag("faultstring", Escaped(fault.reason)));
        }
    }
    return {status,
            soap12 ? "application/soap+xml; charset=utf-8" : "text/xml; charset=utf-8",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><env:Envelope xmlns:env=\"" + envelopeNs +
                "\" xmlns:tt=\"" + kSchema + "\" xmlns:tds=\"" + kDevice + "\" xmlns:trt=\"" +
                kMedia + "\" xmlns:tptz=\"" + kPtz +
                "\" xmlns:ter=\"http://www.onvif.org/ver10/error\"><env:Body>" + body +
                "</env:Body></env:Envelope>",
            {}};
}

void OnvifService::Log(const std::string& peer, const std::string& operation) {
    std::string line = "[";
    line.append(clock_.TimeOfDay()).append("] ").append(peer).append(" ONVIF ").append(operation);
    requestLog_.InsertTop(line);
    requestLog_.TrimTo(kMaxLogLines);
}

// ---- Device service ----

OnvifService::Reply OnvifService::GetSystemDateAndTime(const Call&) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
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

OnvifService::Reply OnvifService::GetDeviceInformation(const Call&) {
    return Tag("tds:GetDeviceInformationResponse",
               Tag("tds:Manufacturer", "Tarvik") +
                   Tag("tds:Model", ptz_.HasTilt() ? "Tarvik pan-tilt mount" : "Tarvik pan mount") +
                   Tag("tds:FirmwareVersion", TARVIK_VERSION) +
                   Tag("tds:SerialNumber", identity_.serial) + Tag("tds:HardwareId", "tarvik"));
}

OnvifService::Reply OnvifService::GetCapabilities(const Call& call) {
    const std::string device = Tag(
        "tt:Device",
        Tag("tt:XAddr", call.base + kDevicePath) +
            Tag("tt:Network", Tag("tt:IPFilter", "false") + Tag("tt:ZeroConfiguration", "false") +
                                  Tag("tt:IPVersion6", "true") + Tag("tt:DynDNS", "false")) +
            Tag("tt:System",
                Tag("tt:DiscoveryResolve", "false") + Tag("tt:DiscoveryBye", "true") +
                    Tag("tt:RemoteDiscovery", "false") + Tag("tt:SystemBackup", "false") +
                    Tag("tt:SystemLogging", "false") + Tag("tt:FirmwareUpgrade", "false") +
                    Tag("tt:SupportedVersions", Tag("tt:Major", "2") + Tag("tt:Minor", "60"))) +
            Tag("tt:Security", Tag("tt:TLS1.1", "false") + Tag("tt:TLS1.2", "false") +
                                   Tag("tt:OnboardKeyGeneration", "false") +
                                   Tag("tt:AccessPolicyConfig", "false") +
                                   Tag("tt:X.509Token", "false") + Tag("tt:SAMLToken", "false") +
                                   Tag("tt:KerberosToken", "false") + Tag("tt:RELToken", "false")));
    const std::string media =
        Tag("tt:Media", Tag("tt:XAddr", call.base + kMediaPath) +
                            Tag("tt:StreamingCapabilities", Tag("tt:RTPMulticast", "false") +
                                                                Tag("tt:RTP_TCP", "true") +
                                                                Tag("tt:RTP_RTSP_TCP", "true")));
    const std::string ptz = Tag("tt:PTZ", Tag("tt:XAddr", call.base + kPtzPath));
    return Tag("tds:GetCapabilitiesResponse", Tag("tds:Capabilities", device + media + ptz));
}

OnvifService::Reply OnvifService::GetServices(const Call& call) {
    const bool capabilities = call.Arg("IncludeCapability") == "true";
    const auto service = [&](const char* ns, const char* path, const std::string& caps) {
        return Tag("tds:Service",
                   Tag("tds:Namespace", ns) + Tag("tds:XAddr", call.base + path) +
                       (capabilities ? Tag("tds:Capabilities", caps) : "") +
                       Tag("tds:Version", Tag("tt:Major", "2") + Tag("tt:Minor", "60")));
    };
    return Tag("tds:GetServicesResponse",
               service(kDevice, kDevicePath, std::get<std::string>(DeviceCapabilities(call))) +
                   service(kMedia, kMediaPath, std::get<std::string>(MediaCapabilities(call))) +
                   service(kPtz, kPtzPath, std::get<std::string>(PtzCapabilities(call))));
}

// The capabilities element alone, as GetServices nests it; wrapped in a response when asked
// for by itself.
OnvifService::Reply OnvifService::DeviceCapabilities(const Call& call) {
    const std::string caps =
        "<tds:Capabilities><tds:Network IPFilter=\"false\" ZeroConfiguration=\"false\" "
        "IPVersion6=\"true\" DynDNS=\"false\"/><tds:Security UsernameToken=\"true\" "
        "HttpDigest=\"true\"/><tds:System DiscoveryResolve=\"false\" DiscoveryBye=\"true\" "
        "RemoteDiscovery=\"false\" SystemBackup=\"false\" SystemLogging=\"false\" "
        "FirmwareUpgrade=\"false\"/></tds:Capabilities>";
    return call.op().name == "GetServiceCapabilities" && call.op().ns == kDevice
               ? Tag("tds:GetServiceCapabilitiesResponse", caps)
               : caps;
}

OnvifService::Reply OnvifService::GetScopes(const Call&) {
    std::string scopes;
    std::istringstream ours(ScopesOf(config_.name));
    for (std::string scope; ours >> scope;) {
        scopes +=
            Tag("tds:Scopes", Tag("tt:ScopeDef", "Fixed") + Tag("tt:ScopeItem", Escaped(scope)));
    }
    return Tag("tds:GetScopesResponse", scopes);
}

OnvifService::Reply OnvifService::GetHostname(const Call&) {
    return Tag("tds:GetHostnameResponse",
               Tag("tds:HostnameInformation",
                   Tag("tt:FromDHCP", "false") + Tag("tt:Name", Escaped(identity_.hostname))));
}

// The IPv4 interfaces, as the kernel names them.
OnvifService::Reply OnvifService::GetNetworkInterfaces(const Call&) {
    std::string interfaces;
    unsigned ordinal = 0;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) == 0) {
        for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
                (i->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            const std::string name = i->ifa_name;
            const std::string sys = "/sys/class/net/" + name;
            sockaddr_storage address{};
            std::memcpy(&address, i->ifa_addr, sizeof(sockaddr_in));
            int prefix = 0;
            if (i->ifa_netmask != nullptr) {
                prefix = __builtin_popcount(
                    reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
            }
            interfaces +=
                "<tds:NetworkInterfaces token=\"" + Escaped(name) + "\">" +
                Tag("tt:Enabled", "true") +
                Tag("tt:Info",
                    Tag("tt:Name", Escaped(name)) +
                        Tag("tt:HwAddress", HwAddressText(identity_.hwAddress, ordinal++)) +
                        Tag("tt:MTU", Escaped(ReadLine(sys + "/mtu")))) +
                Tag("tt:IPv4",
                    Tag("tt:Enabled", "true") +
                        Tag("tt:Config",
                            Tag("tt:Manual", Tag("tt:Address", PeerTextOf(address)) +
                                                 Tag("tt:PrefixLength", std::to_string(prefix))) +
                                Tag("tt:DHCP", "false"))) +
                "</tds:NetworkInterfaces>";
        }
        ::freeifaddrs(all);
    }
    return Tag("tds:GetNetworkInterfacesResponse", interfaces);
}

OnvifService::Reply OnvifService::GetEndpointReference(const Call&) {
    return Tag("tds:GetEndpointReferenceResponse", Tag("tds:GUID", "urn:uuid:" + identity_.uuid));
}

OnvifService::Reply OnvifService::GetWsdlUrl(const Call&) {
    return Tag("tds:GetWsdlUrlResponse",
               Tag("tds:WsdlUrl", "http://www.onvif.org/Documents/Specifications.aspx"));
}

// ---- Media service ----

std::string OnvifService::Profile() const {
    const std::string w = std::to_string(config_.width), h = std::to_string(config_.height);
    const std::string source = "<tt:VideoSourceConfiguration token=\"video_source_config_1\">" +
                               Tag("tt:Name", "Camera") + Tag("tt:UseCount", "1") +
                               Tag("tt:SourceToken", kSourceToken) +
                               "<tt:Bounds x=\"0\" y=\"0\" width=\"" + w + "\" height=\"" + h +
                               "\"/>" + "</tt:VideoSourceConfiguration>";
    const std::string encoder =
        "<tt:VideoEncoderConfiguration token=\"video_encoder_config_1\">" + Tag("tt:Name", "H264") +
        Tag("tt:UseCount", "1") + Tag("tt:Encoding", "H264") +
        Tag("tt:Resolution", Tag("tt:Width", w) + Tag("tt:Height", h)) + Tag("tt:Quality", "5") +
        Tag("tt:RateControl", Tag("tt:FrameRateLimit", "25") + Tag("tt:EncodingInterval", "1") +
                                  Tag("tt:BitrateLimit", "4096")) +
        Tag("tt:H264", Tag("tt:GovLength", "50") + Tag("tt:H264Profile", "Main")) +
        Tag("tt:Multicast",
            Tag("tt:Address", Tag("tt:Type", "IPv4") + Tag("tt:IPv4Address", "0.0.0.0")) +
                Tag("tt:Port", "0") + Tag("tt:TTL", "1") + Tag("tt:AutoStart", "false")) +
        Tag("tt:SessionTimeout", "PT60S") + "</tt:VideoEncoderConfiguration>";
    return std::string("<trt:Profiles token=\"") + kProfileToken + "\" fixed=\"true\">" +
           Tag("tt:Name", Escaped(config_.name)) + source + encoder +
           PtzConfiguration("tt:PTZConfiguration") + "</trt:Profiles>";
}

OnvifService::Reply OnvifService::GetProfiles(const Call&) {
    return Tag("trt:GetProfilesResponse", Profile());
}

OnvifService::Reply OnvifService::GetProfile(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    std::string profile = Profile();
    profile.replace(0, std::string("<trt:Profiles").size(), "<trt:Profile");
    profile.replace(profile.size() - std::string("</trt:Profiles>").size(),
                    std::string("</trt:Profiles>").size(), "</trt:Profile>");
    return Tag("trt:GetProfileResponse", profile);
}

OnvifService::Reply OnvifService::GetVideoSources(const Call&) {
    return Tag("trt:GetVideoSourcesResponse",
               std::string("<trt:VideoSources token=\"") + kSourceToken + "\">" +
                   Tag("tt:Framerate", "25") +
                   Tag("tt:Resolution", Tag("tt:Width", std::to_string(config_.width)) +
                                            Tag("tt:Height", std::to_string(config_.height))) +
                   "</trt:VideoSources>");
}

OnvifService::Reply OnvifService::GetStreamUri(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (config_.stream.empty()) {
        return NotSupported("No stream: Onvif.ini names none (stream = rtsp://…)");
    }
    return Tag("trt:GetStreamUriResponse",
               Tag("trt:MediaUri",
                   Tag("tt:Uri", Escaped(config_.stream)) + Tag("tt:InvalidAfterConnect", "false") +
                       Tag("tt:InvalidAfterReboot", "false") + Tag("tt:Timeout", "PT0S")));
}

OnvifService::Reply OnvifService::GetSnapshotUri(const Call&) {
    return NotSupported("This mount takes no snapshots");
}

OnvifService::Reply OnvifService::MediaCapabilities(const Call& call) {
    const std::string caps =
        "<trt:Capabilities SnapshotUri=\"false\" Rotation=\"false\"><trt:ProfileCapabilities "
        "MaximumNumberOfProfiles=\"1\"/><trt:StreamingCapabilities RTPMulticast=\"false\" "
        "RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities>";
    return call.op().ns == kMedia ? Tag("trt:GetServiceCapabilitiesResponse", caps) : caps;
}

std::optional<Fault> OnvifService::CheckProfile(const Call& call) const {
    if (call.Arg("ProfileToken") == kProfileToken) return std::nullopt;
    return Sender({"ter:InvalidArgVal", "ter:NoProfile"}, "No such profile");
}

// ---- PTZ service ----

std::string OnvifService::Spaces() const {
    const double y = ptz_.HasTilt() ? 1 : 0;
    std::string spaces = Space2D("tt:AbsolutePanTiltPositionSpace", kPositionSpace, 1, y) +
                         Space2D("tt:RelativePanTiltTranslationSpace", kTranslationSpace, 2, 2 * y);
    if (ptz_.HasFieldOfView()) {
        const double fovY = ptz_.HasTilt() && config_.HalfVerticalFieldSteps() ? 1 : 0;
        spaces += Space2D("tt:RelativePanTiltTranslationSpace", kFovSpace, 1, fovY);
    }
    return spaces + Space2D("tt:ContinuousPanTiltVelocitySpace", kVelocitySpace, 1, y) +
           Tag("tt:PanTiltSpeedSpace", Tag("tt:URI", kSpeedSpace) + Range("tt:XRange", 0, 1));
}

std::string OnvifService::PtzConfiguration(const char* element) const {
    const double y = ptz_.HasTilt() ? 1 : 0;
    return std::string("<") + element + " token=\"" + kPtzConfigToken + "\">" +
           Tag("tt:Name", "PTZ") + Tag("tt:UseCount", "1") + Tag("tt:NodeToken", kNodeToken) +
           Tag("tt:DefaultAbsolutePantTiltPositionSpace", kPositionSpace) +
           Tag("tt:DefaultRelativePanTiltTranslationSpace", kTranslationSpace) +
           Tag("tt:DefaultContinuousPanTiltVelocitySpace", kVelocitySpace) +
           Tag("tt:DefaultPTZSpeed", std::string("<tt:PanTilt x=\"1\" y=\"") + Number(y) +
                                         "\" space=\"" + kSpeedSpace + "\"/>") +
           Tag("tt:DefaultPTZTimeout", "PT10S") +
           Tag("tt:PanTiltLimits", Space2D("tt:Range", kPositionSpace, 1, y)) + "</" + element +
           ">";
}

std::string OnvifService::PtzNode(const char* element) const {
    return std::string("<") + element + " token=\"" + kNodeToken +
           "\" FixedHomePosition=\"true\" GeoMove=\"false\">" + Tag("tt:Name", "Mount") +
           Tag("tt:SupportedPTZSpaces", Spaces()) +
           Tag("tt:MaximumNumberOfPresets", std::to_string(Presets::kMost)) +
           Tag("tt:HomeSupported", "true") + "</" + element + ">";
}

OnvifService::Reply OnvifService::GetNodes(const Call&) {
    return Tag("tptz:GetNodesResponse", PtzNode("tptz:PTZNode"));
}

OnvifService::Reply OnvifService::GetNode(const Call& call) {
    if (call.Arg("NodeToken") != kNodeToken) {
        return Sender({"ter:InvalidArgVal", "ter:NoEntity"}, "No such PTZ node");
    }
    return Tag("tptz:GetNodeResponse", PtzNode("tptz:PTZNode"));
}

OnvifService::Reply OnvifService::GetConfigurations(const Call&) {
    return Tag("tptz:GetConfigurationsResponse", PtzConfiguration("tptz:PTZConfiguration"));
}

OnvifService::Reply OnvifService::GetConfiguration(const Call& call) {
    if (call.Arg("PTZConfigurationToken") != kPtzConfigToken) {
        return Sender({"ter:InvalidArgVal", "ter:NoConfig"}, "No such PTZ configuration");
    }
    return Tag("tptz:GetConfigurationResponse", PtzConfiguration("tptz:PTZConfiguration"));
}

OnvifService::Reply OnvifService::GetConfigurationOptions(const Call& call) {
    if (call.Arg("ConfigurationToken") != kPtzConfigToken) {
        return Sender({"ter:InvalidArgVal", "ter:NoConfig"}, "No such PTZ configuration");
    }
    return Tag("tptz:GetConfigurationOptionsResponse",
               Tag("tptz:PTZConfigurationOptions",
                   Tag("tt:Spaces", Spaces()) +
                       Tag("tt:PTZTimeout", Tag("tt:Min", "PT1S") + Tag("tt:Max", "PT1H"))));
}

OnvifService::Reply OnvifService::PtzCapabilities(const Call& call) {
    const std::string caps =
        "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" "
        "GetCompatibleConfigurations=\"false\" "
        "MoveStatus=\"true\" StatusPosition=\"true\"/>";
    return call.op().ns == kPtz ? Tag("tptz:GetServiceCapabilitiesResponse", caps) : caps;
}

OnvifService::Reply OnvifService::GetStatus(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const PanTilt at = ptz_.Position();
    const char* moving = ptz_.Moving() ? "MOVING" : "IDLE";
    return Tag(
        "tptz:GetStatusResponse",
        Tag("tptz:PTZStatus",
            Tag("tt:Position", "<tt:PanTilt x=\"" + Number(at.x) + "\" y=\"" + Number(at.y) +
                                   "\" space=\"" + kPositionSpace +
                                   "\"/><tt:Zoom x=\"0\" space=\"" + kZoomPositionSpace + "\"/>") +
                Tag("tt:MoveStatus", Tag("tt:PanTilt", moving) + Tag("tt:Zoom", "IDLE")) +
                Tag("tt:UtcTime", UtcNow("%Y-%m-%dT%H:%M:%SZ"))));
}

OnvifService::Reply OnvifService::AbsoluteMove(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const XmlElement* to = call.op().Find({"Position", "PanTilt"});
    const std::string space = to ? to->Attribute("space") : "";
    bool bad = !space.empty() && space != kPositionSpace;
    const auto x = Component(to, "x", 1, bad);
    const auto y = Component(to, "y", ptz_.HasTilt() ? 1 : 1e9, bad);
    if (bad)
        return Sender({"ter:InvalidArgVal", "ter:InvalidPosition"}, "Position outside [-1, 1]");
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.AbsoluteMove(x, ptz_.HasTilt() ? y : std::nullopt, *speed);
    return Tag("tptz:AbsoluteMoveResponse", "");
}

OnvifService::Reply OnvifService::RelativeMove(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const XmlElement* by = call.op().Find({"Translation", "PanTilt"});
    const std::string space = by ? by->Attribute("space") : "";
    const bool fov = space == kFovSpace && ptz_.HasFieldOfView();
    if (!space.empty() && space != kTranslationSpace && !fov) {
        return Sender({"ter:InvalidArgVal", "ter:SpaceNotSupported"},
                      "Translation space not offered");
    }
    bool bad = false;
    const double limit = fov ? 1 : 2;
    const auto x = Component(by, "x", limit, bad);
    const auto y = Component(by, "y", ptz_.HasTilt() ? limit : 1e9, bad);
    if (bad)
        return Sender({"ter:InvalidArgVal", "ter:InvalidTranslation"}, "Translation out of range");
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.RelativeMove(x, ptz_.HasTilt() ? y : std::nullopt, *speed, fov);
    return Tag("tptz:RelativeMoveResponse", "");
}

OnvifService::Reply OnvifService::ContinuousMove(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const XmlElement* velocity = call.op().Find({"Velocity", "PanTilt"});
    bool bad = false;
    const auto x = Component(velocity, "x", 1, bad);
    const auto y = Component(velocity, "y", ptz_.HasTilt() ? 1 : 1e9, bad);
    if (bad)
        return Sender({"ter:InvalidArgVal", "ter:InvalidVelocity"}, "Velocity outside [-1, 1]");
    std::chrono::milliseconds timeout = kDefaultPtzTimeout;
    if (const XmlElement* given = call.op().Child("Timeout")) {
        const auto parsed = ParseDuration(given->text);
        if (!parsed) return Sender({"ter:InvalidArgVal"}, "Timeout is not a duration such as PT5S");
        timeout = std::min(*parsed, kLongestPtzTimeout);
    }
    ptz_.ContinuousMove(x.value_or(0), ptz_.HasTilt() ? y.value_or(0) : 0, timeout);
    return Tag("tptz:ContinuousMoveResponse", "");
}

OnvifService::Reply OnvifService::Stop(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (call.Arg("PanTilt") != "false") ptz_.Stop();
    return Tag("tptz:StopResponse", "");
}

OnvifService::Reply OnvifService::GotoHomePosition(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.GotoHome(*speed);
    return Tag("tptz:GotoHomePositionResponse", "");
}

OnvifService::Reply OnvifService::SetHomePosition(const Call&) {
    return Fault{"env:Receiver",
                 {"ter:Action", "ter:CannotOverwriteHome"},
                 "The home position is the middle of Middlestep.ini"};
}

OnvifService::Reply OnvifService::GetPresets(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    std::string presets;
    for (const Preset& p : presets_.All()) {
        const PanTilt at = ptz_.GenericOf(p.position);
        presets +=
            "<tptz:Preset token=\"" + Escaped(p.token) + "\">" + Tag("tt:Name", Escaped(p.name)) +
            Tag("tt:PTZPosition", "<tt:PanTilt x=\"" + Number(at.x) + "\" y=\"" + Number(at.y) +
                                      "\" space=\"" + kPositionSpace + "\"/>") +
            "</tptz:Preset>";
    }
    return Tag("tptz:GetPresetsResponse", presets);
}

OnvifService::Reply OnvifService::SetPreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const std::string given = call.Arg("PresetToken");
    if (!given.empty() && presets_.Find(given) == nullptr) {
        return Sender({"ter:InvalidArgVal", "ter:NoToken"}, "No such preset");
    }
    const auto set = presets_.Set(given, call.Arg("PresetName"), ptz_.Raw());
    if (!set) {
        return Fault{"env:Receiver",
                     {"ter:Action", "ter:TooManyPresets"},
                     "All " + std::to_string(Presets::kMost) + " presets are taken"};
    }
    if (const std::string failure = presets_.Save(); !failure.empty()) {
        notice_("Presets not saved to \"" + presets_.Path() + "\": " + failure);
    }
    return Tag("tptz:SetPresetResponse", Tag("tptz:PresetToken", Escaped(*set)));
}

OnvifService::Reply OnvifService::GotoPreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const Preset* preset = presets_.Find(call.Arg("PresetToken"));
    if (preset == nullptr) return Sender({"ter:InvalidArgVal", "ter:NoToken"}, "No such preset");
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.MoveToRaw(preset->position, *speed);
    return Tag("tptz:GotoPresetResponse", "");
}

OnvifService::Reply OnvifService::RemovePreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (!presets_.Remove(call.Arg("PresetToken"))) {
        return Sender({"ter:InvalidArgVal", "ter:NoToken"}, "No such preset");
    }
    if (const std::string failure = presets_.Save(); !failure.empty()) {
        notice_("Presets not saved to \"" + presets_.Path() + "\": " + failure);
    }
    return Tag("tptz:RemovePresetResponse", "");
}

}  // namespace tarvik::onvif
