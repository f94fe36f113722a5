// The configuration and page files beside the executable, and start-up's reading of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "GpioOutput.h"

namespace tarvik::files {
inline constexpr const char* kLpt = "/Config/Lpt.ini";
inline constexpr const char* kMiddleStep = "/Config/Middlestep.ini";
inline constexpr const char* kMaxStep = "/Config/MaxStep.ini";
inline constexpr const char* kMinStep = "/Config/MinStep.ini";
inline constexpr const char* kTotalSteps = "/Config/totalsteps.ini";
inline constexpr const char* kStepCount = "/Config/StepCount.ini";
inline constexpr const char* kBigStep = "/Config/BigStep.ini";
inline constexpr const char* kPort = "/Config/Port.ini";
inline constexpr const char* kGpio = "/Config/Gpio.ini";  // optional

inline constexpr const char* kLeft = "/html/Left.html";
inline constexpr const char* kRight = "/html/Right.html";
inline constexpr const char* kMaxLeft = "/html/MaxLeft.html";
inline constexpr const char* kMaxRight = "/html/Maxright.html";
inline constexpr const char* kIndex = "/html/Index.html";
inline constexpr const char* kReset = "/html/Reset.html";
inline constexpr const char* kNoReset = "/html/NoReset.html";
}  // namespace tarvik::files

namespace tarvik {

struct Pages {
    std::string PageLeft, PageRight, PageMaxLeft, PageMaxRight, PageIndex, PageReset, PageNoReset;
};

// Everything start-up takes from the numeric configuration files, already checked.
struct DriveSettings {
    std::string LptAddress;                    // decimal text, e.g. "888"
    std::optional<std::uint16_t> portAddress;  // nullopt when it needs more than 16 bits
    std::int16_t MiddleStep = 0;
    std::int16_t UpperStep = 0;
    std::int16_t LowerStep = 0;
    std::int16_t TotalSteps = 0;
    std::int16_t StepPhase = 0;
    std::int16_t BigStep = 0;
    std::optional<GpioConfig> gpio;  // the coils on GPIO lines instead of the parallel port
};

// A configuration file that stops start-up: which file, what it held, what was expected.
struct StartupError {
    std::string file;  // relative path such as "Config/MaxStep.ini"
    std::string held;
    bool missing = false;
    std::string expected;
    std::string Message() const;
};

// The seven page files in their fixed order; a missing page is empty.
Pages LoadPages(const std::string& baseDir);

// Reads the files in start-up order (Lpt, Gpio when present, Middlestep, MaxStep, MinStep,
// totalsteps, StepCount, BigStep), each once, and stops at the first that is unusable.
std::variant<DriveSettings, StartupError> LoadDriveSettings(const std::string& baseDir);

// Reads one file expected to hold a whole number in [min, max].
std::variant<std::int32_t, StartupError> ReadWholeNumber(const std::string& baseDir,
                                                         const char* relPath, std::int32_t min,
                                                         std::int32_t max);

}  // namespace tarvik
