// The ONVIF device, media (ver10) and PTZ (ver20) services behind one HTTP handler: the SOAP
// request's operation is answered by the service its namespace names, whichever of the three
// paths it was posted to. This core dispatches, checks the login and writes the envelope and
// its faults; each service adds its operations to the one table.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "DeviceService.h"
#include "HttpMessage.h"
#include "LineList.h"
#include "LoginThrottle.h"
#include "MediaService.h"
#include "OnvifAuth.h"
#include "OnvifConfig.h"
#include "Operations.h"
#include "Presets.h"
#include "PtzControl.h"
#include "PtzService.h"
#include "WebPlatform.h"

namespace tarvik::onvif {

class OnvifService : public HttpHandler {
  public:
    using Notice = std::function<void(const std::string&)>;

    OnvifService(const OnvifConfig& config, PtzControl& ptz, Presets& presets, OnvifAuth* auth,
                 LineList& requestLog, const Clock& clock, DeviceIdentity identity, Notice notice);
    // The table holds the services by reference.
    OnvifService(const OnvifService&) = delete;
    OnvifService& operator=(const OnvifService&) = delete;

    HttpResponse Handle(const HttpRequest& request) override;
    // A peer that guessed wrong too often waits its turn (see LoginThrottle).
    std::chrono::milliseconds WaitBeforeHandling(const std::string& peer) override;

  private:
    HttpResponse Respond(bool soap12, const Reply& reply) const;
    std::optional<HttpResponse> Refusal(const HttpRequest& http, const XmlElement& soapHeader,
                                        bool soap12, Access access);
    void SayRefusal(const std::string& peer, OnvifAuth::Refusal why, int refusals);

    OnvifAuth* auth_;  // null: no user, every operation open
    LoginThrottle throttle_;
    LineList& requestLog_;
    const Clock& clock_;
    Notice notice_;
    std::map<std::string, std::chrono::steady_clock::time_point> refusalSaid_;  // by peer and cause
    PtzService ptzService_;
    MediaService mediaService_;
    DeviceService deviceService_;
    OperationTable operations_;
};

}  // namespace tarvik::onvif
