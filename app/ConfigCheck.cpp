#include "ConfigCheck.h"

#include <cstdio>
#include <filesystem>

#include "ConfigFiles.h"
#include "FileHelpers.h"
#include "OnvifEndpoint.h"
#include "ParallelPort.h"

namespace tarvik {
namespace {

void Say(const std::string& line) {
    std::printf("tarvik: %s\n", line.c_str());
}

std::string Coils(const DriveSettings& s) {
    if (s.gpio) return "GPIO " + s.gpio->Describe();
    return LocateParallelPort(s.lptAddress, LptReading(s.lptText, s.lptAddress));
}

std::string TiltCoils(const DriveSettings& s) {
    // With GPIO the settings hold a tilt line whenever they hold a tilt motor.
    return s.gpio ? "GPIO " + s.gpio->tilt->Describe() : "D4-D7 of the same port";
}

// What a save of the file would meet, said as start-up would say it.
void SayWhetherSavable(const std::string& path, const char* what) {
    const SaveOutcome check = CheckWritable(path);
    if (!check.saved) {
        Say(std::string("the ") + what + " cannot be saved to \"" + path + "\": " + check.reason);
    } else {
        Say(std::string("the ") + what + " is saved to \"" + path + "\"" +
            (check.atomic ? "" : ", not atomically: " + check.reason));
    }
}

// The ONVIF summary, what stops start-up, or nothing without Onvif.ini.
std::optional<std::string> CheckOnvif(const std::string& baseDir) {
    const std::string path = baseDir + "/Config/Onvif.ini";
    const FileText read = ReadFileText(path);
    if (read.missing) return std::nullopt;
    if (!read.problem.empty()) return "\"" + path + "\" cannot be read: " + read.problem;
    auto parsed = ParseOnvifConfig(path, read.contents);
    if (auto* error = std::get_if<StartupError>(&parsed)) return error->Message();
    const OnvifConfig& config = std::get<OnvifConfig>(parsed);
    onvif::Presets presets(baseDir + "/Config/Presets.ini");
    if (auto error = presets.Load()) return error->Message();
    return OnvifSummary(config, config.port, config.discovery);
}

}  // namespace

int CheckConfiguration(const std::string& baseDir) {
    auto loaded = LoadDriveSettings(baseDir);
    std::optional<std::string> failure;
    if (auto* error = std::get_if<StartupError>(&loaded)) failure = error->Message();
    auto port = ReadWholeNumber(baseDir + files::kPort, 0, 65535);
    if (auto* error = std::get_if<StartupError>(&port); error && !failure) {
        failure = error->Message();
    }
    auto address = ReadListenAddress(baseDir);
    if (auto* error = std::get_if<StartupError>(&address); error && !failure) {
        failure = error->Message();
    }
    if (failure) {
        std::fprintf(stderr, "tarvik: check failed: %s\n", failure->c_str());
        return 1;
    }
    const DriveSettings& settings = std::get<DriveSettings>(loaded);
    Say("Config folder " + baseDir + files::kConfig + ": every file is usable");
    Say("coils: " + Coils(settings) + " (not opened by --check)");
    const std::string& host = std::get<std::string>(address);
    Say("web server: TCP port " + std::to_string(std::get<std::int32_t>(port)) +
        (host.empty() ? " on every interface" : " on " + host + " only"));
    std::error_code ignored;
    if (!std::filesystem::is_directory(baseDir + files::kHtml, ignored)) {
        Say("no page folder \"" + baseDir + files::kHtml + "\": every page would be sent empty");
    }
    if (auto onvif = CheckOnvif(baseDir)) {
        if (!onvif->starts_with("ONVIF: ")) {
            std::fprintf(stderr, "tarvik: check failed: %s\n", onvif->c_str());
            return 1;
        }
        Say(*onvif + " (not opened by --check)");
    }
    SayWhetherSavable(baseDir + files::kConfig + files::kTotalSteps, "position");
    SayWhetherSavable(baseDir + files::kConfig + files::kStepCount, "phase");
    if (settings.tilt) {
        const AxisSettings& tilt = *settings.tilt;
        Say("tilt motor: " + baseDir + files::kTilt + ", limits " + std::to_string(tilt.lowerStep) +
            " to " + std::to_string(tilt.upperStep) + ", at " + std::to_string(tilt.totalSteps) +
            ", coils " + TiltCoils(settings));
        SayWhetherSavable(baseDir + files::kTilt + files::kTotalSteps, "tilt position");
        SayWhetherSavable(baseDir + files::kTilt + files::kStepCount, "tilt phase");
    }
    return 0;
}

}  // namespace tarvik
