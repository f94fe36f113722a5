#include "OnvifService.h"

namespace tarvik::onvif {
namespace {

bool Blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// What the notice of a refusal says of its cause.
const char* RefusalText(OnvifAuth::Refusal why) {
    switch (why) {
        case OnvifAuth::Refusal::Replayed:
            return "credentials it had sent before came again";
        case OnvifAuth::Refusal::OutsideWindow:
            return "its token was made more than 5 minutes before or 5 seconds after this "
                   "machine's time, or before Tarvik had run 5 seconds (are both clocks set?)";
        case OnvifAuth::Refusal::Full:
            return "too many logins within 5 minutes; new ones are taken as old ones expire";
        default:
            return "wrong user or password";
    }
}

Markup FaultBody(bool soap12, const Fault& fault) {
    if (!soap12) {
        const bool sender = std::string(fault.code) == "env:Sender";
        return Tag("env:Fault", Tag("faultcode", sender ? "env:Client" : "env:Server") +
                                    Tag("faultstring", fault.reason));
    }
    Markup subcodes;
    for (auto it = fault.subcodes.rbegin(); it != fault.subcodes.rend(); ++it) {
        subcodes = Tag("env:Subcode", Tag("env:Value", *it) + subcodes);
    }
    return Tag("env:Fault",
               Tag("env:Code", Tag("env:Value", fault.code) + subcodes) +
                   Tag("env:Reason", Tag("env:Text", {{"xml:lang", "en"}}, Text(fault.reason))));
}

}  // namespace

OnvifService::OnvifService(const OnvifConfig& config, PtzControl& ptz, Presets& presets,
                           OnvifAuth* auth, LineList& requestLog, const Clock& clock,
                           DeviceIdentity identity, Notice notice)
    : auth_(auth),
      requestLog_(requestLog),
      clock_(clock),
      notice_(notice),
      ptzService_(config, ptz, presets, clock, std::move(notice)),
      mediaService_(config, ptzService_),
      deviceService_(config, ptz, clock, std::move(identity)) {
    deviceService_.AddTo(operations_);
    mediaService_.AddTo(operations_);
    ptzService_.AddTo(operations_);
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
        if (auto refused = Refusal(request, {}, true, Access::Login)) return *refused;
    }
    auto parsed = ParseEnvelope(request.body);
    if (auto* problem = std::get_if<std::string>(&parsed)) {
        return Respond(true, Sender({"ter:WellFormed"}, "Not a SOAP request: " + *problem));
    }
    const Envelope& envelope = std::get<Envelope>(parsed);
    const Call call{request, envelope, "http://" + request.host};
    const OperationTable::Entry* entry = operations_.Find(call.op().ns, call.op().name);
    if (entry == nullptr) {
        return Respond(envelope.soap12, NotSupported(call.op().name + " is not offered"));
    }
    if (auto refused = Refusal(request, envelope.header, envelope.soap12, entry->access)) {
        return *refused;
    }
    const Reply reply = entry->operation(call);
    if (entry->access == Access::Changes && std::holds_alternative<Markup>(reply)) {
        requestLog_.InsertTop(LogLine(clock_, request.peer, "ONVIF " + call.op().name));
        requestLog_.TrimTo(kMaxLogLines);
    }
    return Respond(envelope.soap12, reply);
}

// No credentials: 401 with the Digest challenges, so that Digest clients can answer them.
// Refused ones: a SOAP fault (WS-Security) or 401 again (Digest); a guess or a replay also
// counts against the peer's turns. Said once a minute per client and cause.
std::optional<HttpResponse> OnvifService::Refusal(const HttpRequest& http,
                                                  const XmlElement& soapHeader, bool soap12,
                                                  Access access) {
    if (auth_ == nullptr || access == Access::Open) return std::nullopt;
    const OnvifAuth::Verdict verdict =
        auth_->Check(soapHeader, http.Header("authorization"),
                     {http.method, http.target, http.peer, access == Access::Changes});
    if (verdict.Allowed()) {
        throttle_.LoggedIn(http.peer);
        return std::nullopt;
    }
    using Scheme = OnvifAuth::Scheme;
    if (verdict.scheme != Scheme::None) {
        const bool guess = verdict.refusal == OnvifAuth::Refusal::WrongCredentials ||
                           verdict.refusal == OnvifAuth::Refusal::Replayed;
        SayRefusal(http.peer, verdict.refusal, guess ? throttle_.Refused(http.peer) : 0);
    }
    if (verdict.scheme == Scheme::WsSecurity) {
        HttpResponse response =
            Respond(soap12, Sender({"ter:NotAuthorized"}, "Sender not authorized"));
        response.status = 400;
        return response;
    }
    HttpResponse response{401, "text/plain", "Unauthorized", {}};
    for (const std::string& challenge : auth_->Challenges(verdict.StaleNonce())) {
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
    std::string text = "ONVIF: " + peer + " was refused: " + RefusalText(why);
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
    const auto* content = std::get_if<Markup>(&reply);
    const Markup body = content != nullptr ? *content : FaultBody(soap12, std::get<Fault>(reply));
    const Markup envelope = Tag("env:Envelope",
                                {{"xmlns:env", soap12 ? kSoap12 : kSoap11},
                                 {"xmlns:tt", kSchema},
                                 {"xmlns:tds", kDevice},
                                 {"xmlns:trt", kMedia},
                                 {"xmlns:tptz", kPtz},
                                 {"xmlns:ter", "http://www.onvif.org/ver10/error"}},
                                Tag("env:Body", body));
    return {content != nullptr ? 200 : 500,
            soap12 ? "application/soap+xml; charset=utf-8" : "text/xml; charset=utf-8",
            Document(envelope),
            {}};
}

}  // namespace tarvik::onvif
