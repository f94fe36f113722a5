// The configuration and page files of a camera folder, and start-up's reading of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "Axes.h"
#include "GpioOutput.h"

// Every file of a camera folder, by its path under the folder. The six numeric files of each
// axis sit in the axis's folder, and its pages are named in the axis table (Axes.h).
namespace tarvik::files {
inline constexpr const char* kConfig = "/Config";
inline constexpr const char* kHtml = "/html";
inline constexpr const char* kLpt = "/Config/Lpt.ini";
inline constexpr const char* kPort = "/Config/Port.ini";
inline constexpr const char* kGpio = "/Config/Gpio.ini";        // optional
inline constexpr const char* kListen = "/Config/Listen.ini";    // optional
inline constexpr const char* kOnvif = "/Config/Onvif.ini";      // optional
inline constexpr const char* kPresets = "/Config/Presets.ini";  // optional, with Onvif.ini
inline constexpr const char* kIndex = "/html/Index.html";

// The files of one axis, in the axis's folder (Config for the pan).
inline constexpr const char* kMiddleStep = "/Middlestep.ini";
inline constexpr const char* kMaxStep = "/MaxStep.ini";
inline constexpr const char* kMinStep = "/MinStep.ini";
inline constexpr const char* kTotalSteps = "/totalsteps.ini";
inline constexpr const char* kStepCount = "/StepCount.ini";
inline constexpr const char* kBigStep = "/BigStep.ini";
}  // namespace tarvik::files

namespace tarvik {

// The pages of one axis, read at start-up (see AxisPageFiles); a missing page is empty.
struct AxisPages {
    std::string lower, higher, atLowest, atHighest, middle, atMiddle;
};

struct Pages {
    std::string index;
    PerAxis<AxisPages> axes;  // empty for an axis the mount lacks
};

// One motor's checked values, in half-steps. The motor reaches lowerStep - 1 to upperStep + 1.
struct AxisSettings {
    std::int16_t middleStep = 0;
    std::int16_t upperStep = 0;
    std::int16_t lowerStep = 0;
    std::int16_t totalSteps = 0;  // the position
    std::int16_t stepPhase = 0;
    std::int16_t bigStep = 0;
};

// Everything start-up takes from the numeric configuration files, already checked.
struct DriveSettings {
    std::int32_t lptAddress = 0;     // the leading hexadecimal digits of Lpt.ini, any width
    std::string lptText;             // Lpt.ini as it stands, for messages
    std::optional<GpioConfig> gpio;  // the coils on GPIO lines instead of the parallel port
    // Each axis there is: the pan always, another where its folder exists.
    PerAxis<std::optional<AxisSettings>> axes;
    const AxisSettings& Pan() const { return *axes[0]; }
};

// What stops start-up, said whole: the file (absolute path) and what is wrong with it.
struct StartupError {
    std::string message;
};

// Whether the mount has `axis`: the pan always, another where its folder exists.
bool AxisExists(const std::string& baseDir, Axis axis);

// The index page and the pages of each axis there is; a missing page is empty.
Pages LoadPages(const std::string& baseDir);

// Reads the files in start-up order (Lpt, Gpio when present, Middlestep, MaxStep, MinStep,
// totalsteps, StepCount, BigStep, then the same six in each further axis's folder that
// exists), each once, and stops at the first that is unusable. A folder that is missing or
// cannot be read is said as such.
std::variant<DriveSettings, StartupError> LoadDriveSettings(const std::string& baseDir);

// Reads one file expected to hold a whole number in [min, max].
std::variant<std::int32_t, StartupError> ReadWholeNumber(const std::string& path, std::int32_t min,
                                                         std::int32_t max);

// The address Config/Listen.ini names for the web server (an IPv4 or IPv6 address, an IPv6
// one with its %interface), or empty when there is no such file: every interface.
std::variant<std::string, StartupError> ReadListenAddress(const std::string& baseDir);

// What is shown of a file's content in a message: blanks around it dropped, control and
// other unprintable bytes escaped, at most 40 characters.
std::string Shown(std::string_view text);

// How Lpt.ini was read when it holds more than hexadecimal digits (a 0x prefix, a space
// before them): empty when it holds only digits or nothing.
std::string LptReading(const std::string& lptText, std::int32_t address);

}  // namespace tarvik
