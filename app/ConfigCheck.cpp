#include "ConfigCheck.h"

#include <cstdio>
#include <filesystem>

#include "ConfigFiles.h"
#include "Configuration.h"
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
    bool drivable = true;
    for (const Axis axis : kAxes) {
        const auto& lines = s.gpio->axes[IndexOf(axis)];
        if (!lines) continue;
        const std::string name = InfoOf(axis).name;
        if (!s.axes[IndexOf(axis)]) {
            Say("warning: " + baseDir + files::kGpio + " names " + name +
                " lines but there is no " + baseDir + InfoOf(axis).folder +
                " folder: they stay unused");
            continue;
        }
        const GpioProbe found = ProbeGpioLines(*lines);
        Say((axis == Axis::Pan ? std::string() : name + " ") + "coils: GPIO " + found.said +
            (found.usable ? " (not requested by --check)" : ": a run would simulate the coils"));
        drivable = drivable && found.usable;
    }
    return drivable;
}

// Presets that are legal but would not do what their user meant.
void WarnAboutPresets(const onvif::Presets& presets, const DriveSettings& s) {
    for (const onvif::Preset& p : presets.All()) {
        const std::string which = "warning: " + presets.Path() + " preset " + p.token;
        if (p.name.empty()) Say(which + " has no name (a line is: token pan tilt name)");
        bool outside = false;
        for (const Axis axis : kAxes) {
            const auto& a = s.axes[IndexOf(axis)];
            const std::int16_t at = p.position[IndexOf(axis)];
            outside = outside || (a && (at < a->lowerStep - 1 || at > a->upperStep + 1));
        }
        if (outside) Say(which + " lies outside the limits: going there stops at a limit");
    }
}

// One motor as its files hold it, and the values that are legal but leave it still or strange.
void SayAxis(Axis axis, const std::string& folder, const AxisSettings& a) {
    const int lowest = a.lowerStep - 1, highest = a.upperStep + 1;
    Say(std::string(InfoOf(axis).name) + " motor: " + folder + ", limits " +
        std::to_string(lowest) + " to " + std::to_string(highest) + ", at " +
        std::to_string(a.totalSteps) + ", middle " + std::to_string(a.middleStep) + ", big step " +
        std::to_string(a.bigStep));
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
void SayWhetherSavable(const std::string& path, const std::string& what) {
    const SaveOutcome check = CheckWritable(path);
    if (!check.saved) {
        Say(CannotSaveText(what, path, check.reason));
    } else {
        Say("the " + what + " is saved to \"" + path + "\"" +
            (check.atomic ? "" : ", not atomically: " + check.reason));
    }
}

void SaySavable(const std::string& baseDir, Axis axis) {
    const std::string folder = baseDir + InfoOf(axis).folder;
    SayWhetherSavable(folder + files::kTotalSteps, InfoOf(axis).position);
    SayWhetherSavable(folder + files::kStepCount, InfoOf(axis).phase);
}

void SayOnvif(const std::string& baseDir, const Configuration& c) {
    if (!c.onvif) return;
    const OnvifConfig& config = *c.onvif;
    WarnAboutPresets(*c.presets, c.drive);
    if (config.fov.has_value() != config.stepsPerDegree.has_value() ||
        config.vfov.has_value() != config.tiltStepsPerDegree.has_value()) {
        Say("warning: " + baseDir + files::kOnvif +
            ": a field of view needs both its angle and its steps per degree (fov and "
            "steps-per-degree, vfov and tilt-steps-per-degree): without both there are no "
            "field-of-view moves");
    }
    Say(OnvifSummary(config, config.port, config.discovery) + " (not opened by --check)");
}

}  // namespace

int CheckConfiguration(const std::string& baseDir, bool requireCoils) {
    auto loaded = LoadConfiguration(baseDir);
    if (auto* error = std::get_if<StartupError>(&loaded)) {
        std::fprintf(stderr, "tarvik: check failed: %s\n", error->message.c_str());
        return 1;
    }
    const Configuration& c = std::get<Configuration>(loaded);
    const DriveSettings& settings = c.drive;
    Say("Config folder " + baseDir + files::kConfig + ": every file is usable");
    const bool drivable = SayCoils(baseDir, settings);
    SayAxis(Axis::Pan, baseDir + files::kConfig, settings.Pan());
    Say("web server: TCP port " + std::to_string(c.port) +
        (c.listenAddress.empty() ? " on every interface" : " on " + c.listenAddress + " only"));
    if (c.port == 0) {
        Say("warning: " + baseDir + files::kPort +
            " holds 0: the web server would listen on a port the system chooses, another at "
            "each start");
    }
    std::error_code ignored;
    if (!std::filesystem::is_directory(baseDir + files::kHtml, ignored)) {
        Say("no page folder \"" + baseDir + files::kHtml + "\": every page would be sent empty");
    }
    SayOnvif(baseDir, c);
    SaySavable(baseDir, Axis::Pan);
    for (const Axis axis : kAxes) {
        if (axis == Axis::Pan || !settings.axes[IndexOf(axis)]) continue;
        SayAxis(axis, baseDir + InfoOf(axis).folder, *settings.axes[IndexOf(axis)]);
        if (!settings.gpio)
            Say(std::string(InfoOf(axis).name) + " coils: " + DataLinesOf(axis) +
                " of the same port");
        SaySavable(baseDir, axis);
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
