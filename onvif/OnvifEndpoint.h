// The ONVIF way in, when Config/Onvif.ini exists: its configuration and presets, the HTTP
// server on its own port, the services and WS-Discovery, and what start-up says of them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ConfigFiles.h"
#include "Discovery.h"
#include "HttpServer.h"
#include "LineList.h"
#include "OnvifAuth.h"
#include "OnvifConfig.h"
#include "OnvifService.h"
#include "Presets.h"
#include "PtzControl.h"

namespace tarvik {

class OnvifEndpoint {
  public:
    using Notice = std::function<void(const std::string&)>;

    // The checked Onvif.ini and the presets read from Presets.ini. Opens no port.
    OnvifEndpoint(OnvifConfig config, onvif::Presets presets, std::string baseDir,
                  SharedMotor& motors, LineList& requestLog, const Clock& clock,
                  DescriptorBudget& budget, Notice notice);
    ~OnvifEndpoint();

    // Listens and announces itself. What stops start-up, or nullopt.
    std::optional<std::string> Start();
    // "ONVIF: port 8899, user admin, discovery on, field of view 62.2° = 708 half-steps"
    std::string Summary() const;
    // Says Bye to the network, once.
    void Stop();

    // The window's way to the presets ONVIF serves: one list, one file, one set of limits.
    const std::vector<onvif::Preset>& Presets() const { return presets_.All(); }
    void OnPresetsChanged(std::function<void()> changed) { presets_.OnChange(std::move(changed)); }
    // Saves where the mount stands under `name`, over the preset of that name if there is
    // one. Why not, or nullopt.
    std::optional<std::string> SavePresetHere(const std::string& name);
    void GoToPreset(const std::string& token);
    void RemovePreset(const std::string& token);

  private:
    void SavePresets();

    OnvifConfig config_;
    std::string baseDir_;
    Notice notice_;
    onvif::Presets presets_;
    onvif::PtzControl ptz_;
    std::unique_ptr<onvif::OnvifAuth> auth_;
    onvif::OnvifService service_;
    HttpServer server_;
    std::unique_ptr<onvif::Discovery> discovery_;
};

// "ONVIF: port 8899, user admin, discovery on, field of view 62.2° = 708 half-steps"
std::string OnvifSummary(const OnvifConfig& config, std::uint16_t port, bool discovery);

// The device's serial number, endpoint UUID and hardware address, from the machine's id and
// the Config folder:
// the same across restarts, different for two cameras of one machine.
onvif::DeviceIdentity IdentityOf(const std::string& configFolder);

}  // namespace tarvik
