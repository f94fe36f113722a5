#include "MediaService.h"

#include "PtzService.h"

namespace tarvik::onvif {
namespace {

constexpr const char* kSourceToken = "video_source_1";

Markup Resolution(const std::string& width, const std::string& height) {
    return Tag("tt:Resolution", Tag("tt:Width", width) + Tag("tt:Height", height));
}

Markup VideoSourceConfiguration(const std::string& width, const std::string& height) {
    return Tag(
        "tt:VideoSourceConfiguration", {{"token", "video_source_config_1"}},
        Tag("tt:Name", "Camera") + Tag("tt:UseCount", "1") + Tag("tt:SourceToken", kSourceToken) +
            EmptyTag("tt:Bounds", {{"x", "0"}, {"y", "0"}, {"width", width}, {"height", height}}));
}

Markup VideoEncoderConfiguration(const std::string& width, const std::string& height) {
    return Tag(
        "tt:VideoEncoderConfiguration", {{"token", "video_encoder_config_1"}},
        Tag("tt:Name", "H264") + Tag("tt:UseCount", "1") + Tag("tt:Encoding", "H264") +
            Resolution(width, height) + Tag("tt:Quality", "5") +
            Tag("tt:RateControl", Tag("tt:FrameRateLimit", "25") + Tag("tt:EncodingInterval", "1") +
                                      Tag("tt:BitrateLimit", "4096")) +
            Tag("tt:H264", Tag("tt:GovLength", "50") + Tag("tt:H264Profile", "Main")) +
            Tag("tt:Multicast",
                Tag("tt:Address", Tag("tt:Type", "IPv4") + Tag("tt:IPv4Address", "0.0.0.0")) +
                    Tag("tt:Port", "0") + Tag("tt:TTL", "1") + Tag("tt:AutoStart", "false")) +
            Tag("tt:SessionTimeout", "PT60S"));
}

}  // namespace

Markup MediaServiceCapabilities() {
    return RawXml(
        "<trt:Capabilities SnapshotUri=\"false\" Rotation=\"false\"><trt:ProfileCapabilities "
        "MaximumNumberOfProfiles=\"1\"/><trt:StreamingCapabilities RTPMulticast=\"false\" "
        "RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities>");
}

MediaService::MediaService(const OnvifConfig& config, const PtzService& ptz)
    : config_(config), ptz_(ptz) {}

void MediaService::AddTo(OperationTable& table) {
    using S = MediaService;
    table.Add<S>(kMedia, *this,
                 {
                     {"GetServiceCapabilities", &S::GetServiceCapabilities, Access::Open},
                     {"GetProfiles", &S::GetProfiles, Access::Login},
                     {"GetProfile", &S::GetProfile, Access::Login},
                     {"GetVideoSources", &S::GetVideoSources, Access::Login},
                     {"GetStreamUri", &S::GetStreamUri, Access::Login},
                     {"GetSnapshotUri", &S::GetSnapshotUri, Access::Login},
                 });
}

Markup MediaService::Profile(const char* element) const {
    const std::string w = std::to_string(config_.width), h = std::to_string(config_.height);
    return Tag(element, {{"token", kProfileToken}, {"fixed", "true"}},
               Tag("tt:Name", config_.name) + VideoSourceConfiguration(w, h) +
                   VideoEncoderConfiguration(w, h) + ptz_.Configuration("tt:PTZConfiguration"));
}

Reply MediaService::GetServiceCapabilities(const Call&) {
    return Tag("trt:GetServiceCapabilitiesResponse", MediaServiceCapabilities());
}

Reply MediaService::GetProfiles(const Call&) {
    return Tag("trt:GetProfilesResponse", Profile("trt:Profiles"));
}

Reply MediaService::GetProfile(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    return Tag("trt:GetProfileResponse", Profile("trt:Profile"));
}

Reply MediaService::GetVideoSources(const Call&) {
    return Tag("trt:GetVideoSourcesResponse",
               Tag("trt:VideoSources", {{"token", kSourceToken}},
                   Tag("tt:Framerate", "25") +
                       Resolution(std::to_string(config_.width), std::to_string(config_.height))));
}

Reply MediaService::GetStreamUri(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (config_.stream.empty()) {
        return NotSupported("No stream: Onvif.ini names none (stream = rtsp://…)");
    }
    return Tag(
        "trt:GetStreamUriResponse",
        Tag("trt:MediaUri", Tag("tt:Uri", config_.stream) + Tag("tt:InvalidAfterConnect", "false") +
                                Tag("tt:InvalidAfterReboot", "false") + Tag("tt:Timeout", "PT0S")));
}

Reply MediaService::GetSnapshotUri(const Call&) {
    return NotSupported("This mount takes no snapshots");
}

}  // namespace tarvik::onvif
