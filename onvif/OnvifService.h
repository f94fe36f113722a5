// The ONVIF device, media (ver10) and PTZ (ver20) services behind one HTTP handler: the SOAP
// request's operation is answered by the service its namespace names, whichever of the three
// paths it was posted to.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "HttpMessage.h"
#include "LineList.h"
#include "LoginThrottle.h"
#include "OnvifAuth.h"
#include "OnvifConfig.h"
#include "Presets.h"
#include "PtzControl.h"
#include "Soap.h"
#include "WebPlatform.h"

namespace tarvik::onvif {

inline constexpr const char* kDevicePath = "/onvif/device_service";
inline constexpr const char* kMediaPath = "/onvif/media_service";
inline constexpr const char* kPtzPath = "/onvif/ptz_service";

// What names this device: its serial number, its endpoint's UUID and the hardware address
// its network interfaces report (all stable across restarts, different for each camera, so
// that NVRs and Home Assistant, which key a device by them, keep two mounts apart), and the
// host's name.
struct DeviceIdentity {
    std::string serial;
    std::string uuid;
    std::string hostname;
    std::array<unsigned char, 6> hwAddress{};
};

// "02:1f:…": the identity's address, its last byte counted on by the interface's ordinal so
// that two interfaces do not share one.
std::string HwAddressText(const std::array<unsigned char, 6>& address, unsigned ordinal);

// A SOAP fault: its code (env:Sender or env:Receiver), its ONVIF subcodes and the reason.
struct Fault {
    const char* code;
    std::vector<std::string> subcodes;
    std::string reason;
};

// An xs:duration of hours, minutes and seconds (PT5S, PT0.5S, PT1M30S) up to a day, or nothing.
std::optional<std::chrono::milliseconds> ParseDuration(const std::string& text);

// How long a ContinuousMove runs: its Timeout, at most an hour (as the configuration options
// say), or 10 s (the configuration's DefaultPTZTimeout) when it names none, so that a lost
// Stop never drives the mount to its end.
inline constexpr std::chrono::milliseconds kDefaultPtzTimeout{10000};
inline constexpr std::chrono::milliseconds kLongestPtzTimeout{3600000};

class OnvifService : public HttpHandler {
  public:
    using Notice = std::function<void(const std::string&)>;

    OnvifService(const OnvifConfig& config, PtzControl& ptz, Presets& presets, OnvifAuth* auth,
                 LineList& requestLog, const Clock& clock, DeviceIdentity identity, Notice notice);

    HttpResponse Handle(const HttpRequest& request) override;
    // A peer that guessed wrong too often waits its turn (see LoginThrottle).
    std::chrono::milliseconds WaitBeforeHandling(const std::string& peer) override;

  private:
    using Reply = std::variant<std::string, Fault>;
    struct Call {
        const HttpRequest& http;
        const Envelope& envelope;
        std::string base;  // http://host:port, as the client reached this server
        const XmlElement& op() const { return envelope.operation; }
        // The text of the operation's argument, empty when it is not given.
        std::string Arg(std::string_view name) const {
            const XmlElement* argument = op().Child(name);
            return argument != nullptr ? argument->text : "";
        }
    };
    using Operation = Reply (OnvifService::*)(const Call&);
    struct Entry {
        Operation operation;
        bool open;     // answered without credentials (ONVIF's pre-authentication class)
        bool changes;  // moves the mount or changes a preset: a line in the request log too
    };

    static const std::map<std::pair<std::string, std::string>, Entry>& Operations();
    HttpResponse Respond(bool soap12, const Reply& reply) const;
    std::optional<HttpResponse> Refusal(const HttpRequest& http, const XmlElement& soapHeader,
                                        bool soap12, const Entry& entry);
    void SayRefusal(const std::string& peer, OnvifAuth::Refusal why, int refusals);
    void Log(const std::string& peer, const std::string& operation);

    // Device service.
    Reply GetSystemDateAndTime(const Call& call);
    Reply GetDeviceInformation(const Call& call);
    Reply GetCapabilities(const Call& call);
    Reply GetServices(const Call& call);
    Reply DeviceCapabilities(const Call& call);
    Reply GetScopes(const Call& call);
    Reply GetHostname(const Call& call);
    Reply GetNetworkInterfaces(const Call& call);
    Reply GetEndpointReference(const Call& call);
    Reply GetWsdlUrl(const Call& call);
    // Media service.
    Reply GetProfiles(const Call& call);
    Reply GetProfile(const Call& call);
    Reply GetVideoSources(const Call& call);
    Reply GetStreamUri(const Call& call);
    Reply GetSnapshotUri(const Call& call);
    Reply MediaCapabilities(const Call& call);
    // PTZ service.
    Reply GetNodes(const Call& call);
    Reply GetNode(const Call& call);
    Reply GetConfigurations(const Call& call);
    Reply GetConfiguration(const Call& call);
    Reply GetConfigurationOptions(const Call& call);
    Reply PtzCapabilities(const Call& call);
    Reply GetStatus(const Call& call);
    Reply AbsoluteMove(const Call& call);
    Reply RelativeMove(const Call& call);
    Reply ContinuousMove(const Call& call);
    Reply Stop(const Call& call);
    Reply GotoHomePosition(const Call& call);
    Reply SetHomePosition(const Call& call);
    Reply GetPresets(const Call& call);
    Reply SetPreset(const Call& call);
    Reply GotoPreset(const Call& call);
    Reply RemovePreset(const Call& call);

    std::string Profile() const;
    std::string PtzConfiguration(const char* element) const;
    std::string PtzNode(const char* element) const;
    std::string Spaces() const;
    std::optional<Fault> CheckProfile(const Call& call) const;

    const OnvifConfig& config_;
    PtzControl& ptz_;
    Presets& presets_;
    OnvifAuth* auth_;  // null: no user, every operation open
    LoginThrottle throttle_;
    LineList& requestLog_;
    const Clock& clock_;
    DeviceIdentity identity_;
    Notice notice_;
    std::map<std::string, std::chrono::steady_clock::time_point> refusalSaid_;  // by peer and cause
};

}  // namespace tarvik::onvif
