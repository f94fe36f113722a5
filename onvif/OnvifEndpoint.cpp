#include "OnvifEndpoint.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "FileHelpers.h"

namespace tarvik {

onvif::DeviceIdentity IdentityOf(const std::string& configFolder) {
    std::ifstream in("/etc/machine-id");
    std::string machine;
    std::getline(in, machine);
    const QByteArray hash = QCryptographicHash::hash(
        QByteArray::fromStdString("tarvik:" + machine + ":" + configFolder),
        QCryptographicHash::Sha1);
    std::string hex = hash.toHex().toStdString();
    hex[12] = '5';  // a name-based UUID
    hex[16] = "89ab"[std::stoi(hex.substr(16, 1), nullptr, 16) & 3];
    char host[HOST_NAME_MAX + 1] = "";
    ::gethostname(host, sizeof host);
    std::string serial = hex.substr(0, 12);
    for (char& c : serial) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // The last six bytes of the hash, as a locally administered unicast address: one no
    // network card was made with.
    std::array<unsigned char, 6> address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        address[i] = static_cast<unsigned char>(hash[static_cast<qsizetype>(14 + i)]);
    }
    address[0] = static_cast<unsigned char>((address[0] & 0xFC) | 0x02);
    return {serial,
            hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                hex.substr(16, 4) + "-" + hex.substr(20, 12),
            host, address};
}

OnvifEndpoint::OnvifEndpoint(OnvifConfig config, onvif::Presets presets, std::string baseDir,
                             SharedMotor& motors, LineList& requestLog, const Clock& clock,
                             DescriptorBudget& budget, Notice notice)
    : config_(std::move(config)),
      baseDir_(std::move(baseDir)),
      notice_(std::move(notice)),
      presets_(std::move(presets)),
      ptz_(motors, config_),
      auth_(config_.Authenticates()
                ? std::make_unique<onvif::OnvifAuth>(config_.user, config_.password)
                : nullptr),
      service_(config_, ptz_, presets_, auth_.get(), requestLog, clock,
               IdentityOf(baseDir_ + files::kConfig), notice_),
      server_(service_, budget) {}

OnvifEndpoint::~OnvifEndpoint() {
    Stop();
}

std::optional<std::string> OnvifEndpoint::Start() {
    QString reason;
    if (!server_.Listen("", config_.port, &reason)) {
        return "Cannot listen on TCP port " + std::to_string(config_.port) + " (from \"" +
               baseDir_ + files::kOnvif + "\"): " + reason.toStdString();
    }
    if (config_.discovery) {
        discovery_ = std::make_unique<onvif::Discovery>(IdentityOf(baseDir_ + files::kConfig).uuid,
                                                        config_.name, server_.LocalPort());
        if (std::string problem = discovery_->Start(); !problem.empty()) {
            notice_("ONVIF discovery is off: " + problem);
            discovery_.reset();
        }
    }
    if (!presets_.Kept()) {
        notice_("ONVIF presets last until exit: create \"" + presets_.Path() + "\" to keep them");
    }
    return std::nullopt;
}

std::string OnvifSummary(const OnvifConfig& config, std::uint16_t port, bool discovery) {
    std::string summary = "ONVIF: port " + std::to_string(port) + ", " +
                          (config.Authenticates() ? "user " + config.user
                                                  : "no authentication: anyone who reaches the "
                                                    "port may steer") +
                          ", discovery " + (discovery ? "on" : "off");
    if (const auto steps = config.HalfFieldSteps()) {
        char figure[64];
        std::snprintf(figure, sizeof figure, ", field of view %g° = %ld half-steps", *config.fov,
                      std::lround(2 * *steps));
        summary += figure;
    }
    return summary;
}

std::string OnvifEndpoint::Summary() const {
    return OnvifSummary(config_, server_.LocalPort(), discovery_ != nullptr);
}

std::optional<std::string> OnvifEndpoint::SavePresetHere(const std::string& name) {
    if (name.find_first_not_of(' ') == std::string::npos) return "Name the preset first";
    const onvif::Preset* same = presets_.FindByName(name);
    if (!presets_.Set(same != nullptr ? same->token : "", name, ptz_.Raw())) {
        return "All " + std::to_string(onvif::Presets::kMost) + " presets are taken";
    }
    SavePresets();
    return std::nullopt;
}

void OnvifEndpoint::GoToPreset(const std::string& token) {
    if (const onvif::Preset* preset = presets_.Find(token)) ptz_.MoveToRaw(preset->position, 1);
}

void OnvifEndpoint::RemovePreset(const std::string& token) {
    if (presets_.Remove(token)) SavePresets();
}

void OnvifEndpoint::SavePresets() {
    if (const std::string failure = presets_.Save(); !failure.empty()) {
        notice_("Presets not saved to \"" + presets_.Path() + "\": " + failure);
    }
}

void OnvifEndpoint::Stop() {
    if (discovery_) discovery_->Stop();
}

}  // namespace tarvik
