// The PTZ service (ver20): the mount's node, configuration and spaces, its moves, its status
// and its presets.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "OnvifConfig.h"
#include "Operations.h"
#include "Presets.h"
#include "PtzControl.h"
#include "WebPlatform.h"

namespace tarvik::onvif {

// An xs:duration of hours, minutes and seconds (PT5S, PT0.5S, PT1M30S) up to a day, or nothing.
std::optional<std::chrono::milliseconds> ParseDuration(const std::string& text);

// How long a ContinuousMove runs: its Timeout, at most an hour (as the configuration options
// say), or 10 s (the configuration's DefaultPTZTimeout) when it names none, so that a lost
// Stop never drives the mount to its end.
inline constexpr std::chrono::milliseconds kDefaultPtzTimeout{10000};
inline constexpr std::chrono::milliseconds kLongestPtzTimeout{3600000};

// The PTZ service's capabilities element, as GetServices nests it.
Markup PtzServiceCapabilities();

class PtzService {
  public:
    using Notice = std::function<void(const std::string&)>;

    PtzService(const OnvifConfig& config, PtzControl& ptz, Presets& presets, const Clock& clock,
               Notice notice);

    void AddTo(OperationTable& table);
    // The one PTZ configuration as the element `element`; the media profile holds it too.
    Markup Configuration(const char* element) const;

  private:
    Reply GetServiceCapabilities(const Call& call);
    Reply GetNodes(const Call& call);
    Reply GetNode(const Call& call);
    Reply GetConfigurations(const Call& call);
    Reply GetConfiguration(const Call& call);
    Reply GetConfigurationOptions(const Call& call);
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

    Markup Node() const;
    Markup Spaces() const;
    void SavePresets();

    const OnvifConfig& config_;
    PtzControl& ptz_;
    Presets& presets_;
    const Clock& clock_;
    Notice notice_;
};

}  // namespace tarvik::onvif
