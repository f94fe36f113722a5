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

// What a run would drive: the port as found, or each motor's GPIO lines as probed. Whether
// the coils look drivable.
bool SayCoils(const std::string& baseDir, const DriveSettings& s) {
    if (!s.gpio) {
        const PortLocation port =
            LocateParallelPort(s.lptAddress, LptReading(s.lptText, s.lptAddress));
        Say("coils: " + port.said + (port.found ? " (not opened by --check)" : ": simulated"));
        if (s.lptAddress == 0) {
            Say("warning: " + baseDir + files::kLpt +
                " is read as 0: the coils would be simulated");
        }
        return port.found;
    }
    const auto probe = [](const char* what, const GpioMotorLines& lines) {
        const GpioProbe found = ProbeGpioLines(lines);
        Say(std::string(what) + "GPIO " + found.said +
            (found.usable ? " (not requested by --check)" : ": a run would simulate the coils"));
        return found.usable;
    };
    if (s.gpio->tilt && !s.tilt) {
        Say("warning: " + baseDir + files::kGpio + " names tilt lines but there is no " + baseDir +
            files::kTilt + " folder: they stay unused");
    }
    const bool pan = probe("coils: ", *s.gpio);
    return (s.tilt && s.gpio->tilt ? probe("tilt coils: ", *s.gpio->tilt) : true) && pan;
}

// Presets that are legal but would not do what their user meant.
void WarnAboutPresets(const onvif::Presets& presets, const DriveSettings& s) {
    const auto outside = [](std::int16_t at, const AxisSettings& a) {
        return at < a.lowerStep - 1 || at > a.upperStep + 1;
    };
    for (const onvif::Preset& p : presets.All()) {
        const std::string which = "warning: " + presets.Path() + " preset " + p.token;
        if (p.name.empty()) Say(which + " has no name (a line is: token pan tilt name)");
        if (outside(p.position[0], s.pan) || (s.tilt && outside(p.position[1], *s.tilt))) {
            Say(which + " lies outside the limits: going there stops at a limit");
        }
    }
}

// One motor as its files hold it, and the values that are legal but leave it still or strange.
void SayAxis(const char* what, const std::string& folder, const AxisSettings& a) {
    const int lowest = a.lowerStep - 1, highest = a.upperStep + 1;
    Say(std::string(what) + ": " + folder + ", limits " + std::to_string(lowest) + " to " +
        std::to_string(highest) + ", at " + std::to_string(a.totalSteps) + ", middle " +
        std::to_string(a.middleStep) + ", big step " + std::to_string(a.bigStep));
    if (a.bigStep <= 0) {
        Say("warning: " + folder + files::kBigStep + " holds " + std::to_string(a.bigStep) +
            (a.bigStep == 0 ? ": a big step would not move the motor"
                            : ": a big step would turn the motor the other way"));
    }
    if (a.middleStep < lowest || a.middleStep > highest) {
        Say("warning: " + folder + files::kMiddleStep + " holds " + std::to_string(a.middleStep) +
            ", outside the limits: the return to the middle stops at a limit");
    }
    if (a.stepPhase < 1 || a.stepPhase > 8) {
        Say("warning: " + folder + files::kStepCount + " holds " + std::to_string(a.stepPhase) +
            ", outside 1 to 8: the coils stay off until the motor steps back into the cycle");
    }
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
std::optional<std::string> CheckOnvif(const std::string& baseDir, const DriveSettings& settings) {
    const std::string path = baseDir + "/Config/Onvif.ini";
    const FileText read = ReadFileText(path);
    if (read.missing) return std::nullopt;
    if (!read.problem.empty()) return "\"" + path + "\" cannot be read: " + read.problem;
    auto parsed = ParseOnvifConfig(path, read.contents);
    if (auto* error = std::get_if<StartupError>(&parsed)) return error->Message();
    const OnvifConfig& config = std::get<OnvifConfig>(parsed);
    onvif::Presets presets(baseDir + "/Config/Presets.ini");
    if (auto error = presets.Load()) return error->Message();
    WarnAboutPresets(presets, settings);
    if (config.fov.has_value() != config.stepsPerDegree.has_value() ||
        config.vfov.has_value() != config.tiltStepsPerDegree.has_value()) {
        Say("warning: " + path +
            ": a field of view needs both its angle and its steps per degree (fov and "
            "steps-per-degree, vfov and tilt-steps-per-degree): without both there are no "
            "field-of-view moves");
    }
    return OnvifSummary(config, config.port, config.discovery);
}

}  // namespace

int CheckConfiguration(const std::string& baseDir, bool requireCoils) {
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
    const bool drivable = SayCoils(baseDir, settings);
    SayAxis("pan motor", baseDir + files::kConfig, settings.pan);
    const std::string& host = std::get<std::string>(address);
    const std::int32_t portNumber = std::get<std::int32_t>(port);
    Say("web server: TCP port " + std::to_string(portNumber) +
        (host.empty() ? " on every interface" : " on " + host + " only"));
    if (portNumber == 0) {
        Say("warning: " + baseDir + files::kPort +
            " holds 0: the web server would listen on a port the system chooses, another at "
            "each start");
    }
    std::error_code ignored;
    if (!std::filesystem::is_directory(baseDir + files::kHtml, ignored)) {
        Say("no page folder \"" + baseDir + files::kHtml + "\": every page would be sent empty");
    }
    if (auto onvif = CheckOnvif(baseDir, settings)) {
        if (!onvif->starts_with("ONVIF: ")) {
            std::fprintf(stderr, "tarvik: check failed: %s\n", onvif->c_str());
            return 1;
        }
        Say(*onvif + " (not opened by --check)");
    }
    SayWhetherSavable(baseDir + files::kConfig + files::kTotalSteps, "position");
    SayWhetherSavable(baseDir + files::kConfig + files::kStepCount, "phase");
    if (settings.tilt) {
        SayAxis("tilt motor", baseDir + files::kTilt, *settings.tilt);
        if (!settings.gpio) Say("tilt coils: D4-D7 of the same port");
        SayWhetherSavable(baseDir + files::kTilt + files::kTotalSteps, "tilt position");
        SayWhetherSavable(baseDir + files::kTilt + files::kStepCount, "tilt phase");
    }
    if (requireCoils && !drivable) {
        std::fprintf(stderr,
                     "tarvik: check failed: the coils cannot be driven and --require-coils is "
                     "given\n");
        return 1;
    }
    return 0;
}

}  // namespace tarvik
