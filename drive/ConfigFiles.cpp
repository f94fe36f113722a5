#include "ConfigFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Conversions.h"
#include "FileHelpers.h"

namespace tarvik {
namespace {

constexpr std::int32_t kInt16Min = std::numeric_limits<std::int16_t>::min();
constexpr std::int32_t kInt16Max = std::numeric_limits<std::int16_t>::max();

// What a file held, shown to the user as it stands: surrounding blanks dropped, control
// and other unprintable bytes escaped, shortened to 40 characters.
std::string Shown(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    std::string shown;
    for (char c : text) {
        if (shown.size() >= 40) {
            shown += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 32 || byte >= 127) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

StartupError MakeError(const std::string& baseDir, const char* relPath, const std::string& held,
                       std::string expected) {
    return StartupError{relPath + 1, Shown(held), !Exists(baseDir + relPath), std::move(expected)};
}

std::string RangeText(std::int32_t min, std::int32_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

// MaxStep and MinStep hold any decimal number; the limits are derived by rounding down.
// A value is usable when its rounded-down value, the reachable end, and the limit one step
// inside it both fit 16 bits.
std::variant<double, StartupError> ReadLimit(const std::string& baseDir, const char* relPath,
                                             std::int32_t lowest, std::int32_t highest,
                                             std::string& text) {
    text = ReadFileContents(baseDir + relPath);
    const auto value = ParseDecimal(text);
    if (!value || std::floor(*value) < lowest || std::floor(*value) > highest) {
        return MakeError(
            baseDir, relPath, text,
            "a number from " + std::to_string(lowest) + " to " + std::to_string(highest));
    }
    return *value;
}

struct Reader {
    const std::string& baseDir;
    DriveSettings settings;
    std::optional<StartupError> error;

    std::int16_t Whole(const char* relPath, std::int32_t min, std::int32_t max) {
        if (error) return 0;
        auto result = ReadWholeNumber(baseDir, relPath, min, max);
        if (auto* failure = std::get_if<StartupError>(&result)) {
            error = *failure;
            return 0;
        }
        return static_cast<std::int16_t>(std::get<std::int32_t>(result));
    }

    double Limit(const char* relPath, std::int32_t lowest, std::int32_t highest,
                 std::string& text) {
        if (error) return 0;
        auto result = ReadLimit(baseDir, relPath, lowest, highest, text);
        if (auto* failure = std::get_if<StartupError>(&result)) {
            error = *failure;
            return 0;
        }
        return std::get<double>(result);
    }

    void Fail(const char* relPath, std::string expected) {
        if (!error) {
            error = MakeError(baseDir, relPath, ReadFileContents(baseDir + relPath),
                              std::move(expected));
        }
    }
};

}  // namespace

std::string StartupError::Message() const {
    if (missing) return "\"" + file + "\" is missing, expected " + expected;
    return "\"" + file + "\" holds \"" + held + "\", expected " + expected;
}

Pages LoadPages(const std::string& baseDir) {
    Pages pages;
    pages.PageLeft = ReadFileContents(baseDir + files::kLeft);
    pages.PageRight = ReadFileContents(baseDir + files::kRight);
    pages.PageMaxLeft = ReadFileContents(baseDir + files::kMaxLeft);
    pages.PageMaxRight = ReadFileContents(baseDir + files::kMaxRight);
    pages.PageIndex = ReadFileContents(baseDir + files::kIndex);
    pages.PageReset = ReadFileContents(baseDir + files::kReset);
    pages.PageNoReset = ReadFileContents(baseDir + files::kNoReset);
    return pages;
}

std::variant<std::int32_t, StartupError> ReadWholeNumber(const std::string& baseDir,
                                                         const char* relPath, std::int32_t min,
                                                         std::int32_t max) {
    const std::string text = ReadFileContents(baseDir + relPath);
    const auto value = ToInt32(text);
    if (!value || *value < min || *value > max) {
        return MakeError(baseDir, relPath, text, RangeText(min, max));
    }
    return *value;
}

std::variant<DriveSettings, StartupError> LoadDriveSettings(const std::string& baseDir) {
    Reader r{baseDir, {}, std::nullopt};
    DriveSettings& s = r.settings;
    const std::string lptText = ReadFileContents(baseDir + files::kLpt);
    const std::int32_t address = Hex2Dec(lptText);
    s.LptAddress = std::to_string(address);
    if (address <= 0xFFFF) s.portAddress = static_cast<std::uint16_t>(address);
    if (Exists(baseDir + files::kGpio)) {
        const std::string gpioText = ReadFileContents(baseDir + files::kGpio);
        auto gpio = ParseGpioConfig(gpioText);
        if (auto* expected = std::get_if<std::string>(&gpio)) {
            return MakeError(baseDir, files::kGpio, gpioText, *expected);
        }
        s.gpio = std::get<GpioConfig>(gpio);
    }

    s.MiddleStep = r.Whole(files::kMiddleStep, kInt16Min, kInt16Max);
    std::string maxText, minText;
    const double maxStep = r.Limit(files::kMaxStep, kInt16Min + 1, kInt16Max, maxText);
    const double minStep = r.Limit(files::kMinStep, kInt16Min, kInt16Max - 1, minText);
    s.UpperStep = FloorToInt16(maxStep - 1).value_or(0);
    s.LowerStep = FloorToInt16(minStep + 1).value_or(0);
    if (!r.error && s.LowerStep - 1 > s.UpperStep + 1) {
        r.error = MakeError(baseDir, files::kMinStep, minText,
                            "a number not above the one in \"Config/MaxStep.ini\"");
    }
    // A position saved at either end comes back unchanged; only one beyond the right end,
    // left there by narrowing MaxStep, is taken back to it.
    s.TotalSteps = r.Whole(files::kTotalSteps, kInt16Min, kInt16Max);
    s.TotalSteps = static_cast<std::int16_t>(std::min<int>(s.TotalSteps, s.UpperStep + 1));
    if (s.TotalSteps < s.LowerStep - 1) {
        r.Fail(files::kTotalSteps, "a position from " + std::to_string(s.LowerStep - 1) + " to " +
                                       std::to_string(s.UpperStep + 1) +
                                       " (the range of MinStep to MaxStep)");
    }
    s.StepPhase = r.Whole(files::kStepCount, kInt16Min, kInt16Max);
    if (!r.error && !s.gpio && !s.portAddress && s.StepPhase >= 1 && s.StepPhase <= 8) {
        r.error = MakeError(baseDir, files::kLpt, lptText,
                            "a port address of at most four hexadecimal digits, such as 378");
    }
    // -32768 cannot be counted down by the step timer.
    s.BigStep = r.Whole(files::kBigStep, kInt16Min + 1, kInt16Max);
    if (r.error) return *r.error;
    return s;
}

}  // namespace tarvik
