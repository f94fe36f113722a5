// Everything a camera folder configures, read and checked in one place: start-up runs on the
// value, and --check describes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "ConfigFiles.h"
#include "OnvifConfig.h"
#include "Presets.h"

namespace tarvik {

struct Configuration {
    DriveSettings drive;
    std::uint16_t port = 0;     // of the turn server
    std::string listenAddress;  // empty: every interface
    Pages pages;
    // With Config/Onvif.ini: its settings and the presets of Config/Presets.ini.
    std::optional<OnvifConfig> onvif;
    std::optional<onvif::Presets> presets;
};

// Reads every file in start-up's order (the drive's files, Onvif.ini and Presets.ini, Port.ini,
// Listen.ini), each once, and stops at the first that is unusable, naming its path and cause.
std::variant<Configuration, StartupError> LoadConfiguration(const std::string& baseDir);

}  // namespace tarvik
