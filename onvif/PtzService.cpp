#include "PtzService.h"

#include <cmath>
#include <cstdio>
#include <ctime>

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
constexpr const char* kNodeToken = "ptz_node_1";
constexpr const char* kPtzConfigToken = "ptz_config_1";

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string shown = text;
    while (shown.back() == '0') shown.pop_back();
    if (shown.back() == '.') shown.pop_back();
    return shown == "-0" ? "0" : shown;
}

Markup Range(const char* element, double min, double max) {
    return Tag(element, Tag("tt:Min", Number(min)) + Tag("tt:Max", Number(max)));
}

Markup Space2D(const char* element, const char* uri, double x, double y) {
    return Tag(element, Tag("tt:URI", uri) + Range("tt:XRange", -x, x) + Range("tt:YRange", -y, y));
}

// <tt:PanTilt x="…" y="…" space="…"/>
Markup PanTiltAt(double x, double y, const char* space) {
    return EmptyTag("tt:PanTilt", {{"x", Number(x)}, {"y", Number(y)}, {"space", space}});
}

// What a getter of the one node or configuration is asked for: the argument that names it,
// the token it must be, and the fault's subcode and reason when it is another.
struct Wanted {
    const char* argument;
    const char* token;
    const char* subcode;
    const char* missing;
};
constexpr Wanted kNode{"NodeToken", kNodeToken, "ter:NoEntity", "No such PTZ node"};
constexpr Wanted kConfiguration{"PTZConfigurationToken", kPtzConfigToken, "ter:NoConfig",
                                "No such PTZ configuration"};
constexpr Wanted kOptionsOf{"ConfigurationToken", kPtzConfigToken, "ter:NoConfig",
                            "No such PTZ configuration"};

// The response around `content` when the call names the wanted token, else the fault.
Reply IfNamed(const Call& call, const Wanted& wanted, const char* response, const Markup& content) {
    if (call.Arg(wanted.argument) != wanted.token) {
        return Sender({"ter:InvalidArgVal", wanted.subcode}, wanted.missing);
    }
    return Tag(response, content);
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

Fault NoPreset() {
    return Sender({"ter:InvalidArgVal", "ter:NoToken"}, "No such preset");
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

Markup PtzServiceCapabilities() {
    return RawXml(
        "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" "
        "GetCompatibleConfigurations=\"false\" "
        "MoveStatus=\"true\" StatusPosition=\"true\"/>");
}

PtzService::PtzService(const OnvifConfig& config, PtzControl& ptz, Presets& presets,
                       const Clock& clock, Notice notice)
    : config_(config), ptz_(ptz), presets_(presets), clock_(clock), notice_(std::move(notice)) {}

void PtzService::AddTo(OperationTable& table) {
    using S = PtzService;
    table.Add<S>(kPtz, *this,
                 {
                     {"GetServiceCapabilities", &S::GetServiceCapabilities, Access::Open},
                     {"GetNodes", &S::GetNodes, Access::Login},
                     {"GetNode", &S::GetNode, Access::Login},
                     {"GetConfigurations", &S::GetConfigurations, Access::Login},
                     {"GetConfiguration", &S::GetConfiguration, Access::Login},
                     {"GetConfigurationOptions", &S::GetConfigurationOptions, Access::Login},
                     {"GetStatus", &S::GetStatus, Access::Login},
                     {"AbsoluteMove", &S::AbsoluteMove, Access::Changes},
                     {"RelativeMove", &S::RelativeMove, Access::Changes},
                     {"ContinuousMove", &S::ContinuousMove, Access::Changes},
                     {"Stop", &S::Stop, Access::Changes},
                     {"GotoHomePosition", &S::GotoHomePosition, Access::Changes},
                     {"SetHomePosition", &S::SetHomePosition, Access::Login},
                     {"GetPresets", &S::GetPresets, Access::Login},
                     {"SetPreset", &S::SetPreset, Access::Changes},
                     {"GotoPreset", &S::GotoPreset, Access::Changes},
                     {"RemovePreset", &S::RemovePreset, Access::Changes},
                 });
}

Markup PtzService::Spaces() const {
    const double y = ptz_.HasTilt() ? 1 : 0;
    Markup spaces = Space2D("tt:AbsolutePanTiltPositionSpace", kPositionSpace, 1, y) +
                    Space2D("tt:RelativePanTiltTranslationSpace", kTranslationSpace, 2, 2 * y);
    if (ptz_.HasFieldOfView()) {
        const double fovY = ptz_.HasTilt() && config_.HalfVerticalFieldSteps() ? 1 : 0;
        spaces += Space2D("tt:RelativePanTiltTranslationSpace", kFovSpace, 1, fovY);
    }
    return spaces + Space2D("tt:ContinuousPanTiltVelocitySpace", kVelocitySpace, 1, y) +
           Tag("tt:PanTiltSpeedSpace", Tag("tt:URI", kSpeedSpace) + Range("tt:XRange", 0, 1));
}

Markup PtzService::Configuration(const char* element) const {
    const double y = ptz_.HasTilt() ? 1 : 0;
    return Tag(element, {{"token", kPtzConfigToken}},
               Tag("tt:Name", "PTZ") + Tag("tt:UseCount", "1") + Tag("tt:NodeToken", kNodeToken) +
                   Tag("tt:DefaultAbsolutePantTiltPositionSpace", kPositionSpace) +
                   Tag("tt:DefaultRelativePanTiltTranslationSpace", kTranslationSpace) +
                   Tag("tt:DefaultContinuousPanTiltVelocitySpace", kVelocitySpace) +
                   Tag("tt:DefaultPTZSpeed", PanTiltAt(1, y, kSpeedSpace)) +
                   Tag("tt:DefaultPTZTimeout", "PT10S") +
                   Tag("tt:PanTiltLimits", Space2D("tt:Range", kPositionSpace, 1, y)));
}

Markup PtzService::Node() const {
    return Tag("tptz:PTZNode",
               {{"token", kNodeToken}, {"FixedHomePosition", "true"}, {"GeoMove", "false"}},
               Tag("tt:Name", "Mount") + Tag("tt:SupportedPTZSpaces", Spaces()) +
                   Tag("tt:MaximumNumberOfPresets", std::to_string(Presets::kMost)) +
                   Tag("tt:HomeSupported", "true"));
}

void PtzService::SavePresets() {
    if (const std::string failure = presets_.Save(); !failure.empty()) {
        notice_("Presets not saved to \"" + presets_.Path() + "\": " + failure);
    }
}

Reply PtzService::GetServiceCapabilities(const Call&) {
    return Tag("tptz:GetServiceCapabilitiesResponse", PtzServiceCapabilities());
}

Reply PtzService::GetNodes(const Call&) {
    return Tag("tptz:GetNodesResponse", Node());
}

Reply PtzService::GetNode(const Call& call) {
    return IfNamed(call, kNode, "tptz:GetNodeResponse", Node());
}

Reply PtzService::GetConfigurations(const Call&) {
    return Tag("tptz:GetConfigurationsResponse", Configuration("tptz:PTZConfiguration"));
}

Reply PtzService::GetConfiguration(const Call& call) {
    return IfNamed(call, kConfiguration, "tptz:GetConfigurationResponse",
                   Configuration("tptz:PTZConfiguration"));
}

Reply PtzService::GetConfigurationOptions(const Call& call) {
    return IfNamed(call, kOptionsOf, "tptz:GetConfigurationOptionsResponse",
                   Tag("tptz:PTZConfigurationOptions",
                       Tag("tt:Spaces", Spaces()) +
                           Tag("tt:PTZTimeout", Tag("tt:Min", "PT1S") + Tag("tt:Max", "PT1H"))));
}

Reply PtzService::GetStatus(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const PanTilt at = ptz_.Position();
    const char* moving = ptz_.Moving() ? "MOVING" : "IDLE";
    const std::tm utc = UtcOf(clock_);
    char utcText[32];
    std::strftime(utcText, sizeof utcText, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return Tag("tptz:GetStatusResponse",
               Tag("tptz:PTZStatus",
                   Tag("tt:Position",
                       PanTiltAt(at.x, at.y, kPositionSpace) +
                           EmptyTag("tt:Zoom", {{"x", "0"}, {"space", kZoomPositionSpace}})) +
                       Tag("tt:MoveStatus", Tag("tt:PanTilt", moving) + Tag("tt:Zoom", "IDLE")) +
                       Tag("tt:UtcTime", utcText)));
}

Reply PtzService::AbsoluteMove(const Call& call) {
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

Reply PtzService::RelativeMove(const Call& call) {
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

Reply PtzService::ContinuousMove(const Call& call) {
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

Reply PtzService::Stop(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (call.Arg("PanTilt") != "false") ptz_.Stop();
    return Tag("tptz:StopResponse", "");
}

Reply PtzService::GotoHomePosition(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.GotoHome(*speed);
    return Tag("tptz:GotoHomePositionResponse", "");
}

Reply PtzService::SetHomePosition(const Call&) {
    return Fault{"env:Receiver",
                 {"ter:Action", "ter:CannotOverwriteHome"},
                 "The home position is the middle of Middlestep.ini"};
}

Reply PtzService::GetPresets(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    Markup presets;
    for (const Preset& p : presets_.All()) {
        const PanTilt at = ptz_.GenericOf(p.position);
        presets += Tag(
            "tptz:Preset", {{"token", p.token}},
            Tag("tt:Name", p.name) + Tag("tt:PTZPosition", PanTiltAt(at.x, at.y, kPositionSpace)));
    }
    return Tag("tptz:GetPresetsResponse", presets);
}

Reply PtzService::SetPreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const std::string given = call.Arg("PresetToken");
    if (!given.empty() && presets_.Find(given) == nullptr) return NoPreset();
    const auto set = presets_.Set(given, call.Arg("PresetName"), ptz_.Raw());
    if (!set) {
        return Fault{"env:Receiver",
                     {"ter:Action", "ter:TooManyPresets"},
                     "All " + std::to_string(Presets::kMost) + " presets are taken"};
    }
    SavePresets();
    return Tag("tptz:SetPresetResponse", Tag("tptz:PresetToken", *set));
}

Reply PtzService::GotoPreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    const Preset* preset = presets_.Find(call.Arg("PresetToken"));
    if (preset == nullptr) return NoPreset();
    const auto speed = SpeedOf(call.op());
    if (!speed) return BadSpeed();
    ptz_.MoveToRaw(preset->position, *speed);
    return Tag("tptz:GotoPresetResponse", "");
}

Reply PtzService::RemovePreset(const Call& call) {
    if (auto fault = CheckProfile(call)) return *fault;
    if (!presets_.Remove(call.Arg("PresetToken"))) return NoPreset();
    SavePresets();
    return Tag("tptz:RemovePresetResponse", "");
}

}  // namespace tarvik::onvif
