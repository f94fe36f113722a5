#include "ConfigFiles.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "Conversions.h"
#include "FileHelpers.h"

namespace tarvik {
namespace {

constexpr std::int32_t kInt16Min = std::numeric_limits<std::int16_t>::min();
constexpr std::int32_t kInt16Max = std::numeric_limits<std::int16_t>::max();

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A file that holds no usable value: missing, unreadable, or holding something else.
StartupError FileError(const std::string& path, const FileText& read, const std::string& expected) {
    if (read.missing) return {Quoted(path) + " is missing, expected " + expected};
    if (!read.problem.empty()) return {Quoted(path) + " cannot be read: " + read.problem};
    return {Quoted(path) + " holds " + Quoted(Shown(read.contents)) + ", expected " + expected};
}

std::string RangeText(std::int32_t min, std::int32_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

// The Config folder itself, before any of its files: a folder that is missing, not a folder
// or closed to this user would otherwise show as its first file missing.
std::optional<StartupError> CheckConfigFolder(const std::string& folder, const char* what) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return StartupError{std::string("The ") + what + " folder " + Quoted(folder) +
                                " is missing"};
        }
        return StartupError{std::string("The ") + what + " folder " + Quoted(folder) +
                            " cannot be read: " + std::strerror(errno)};
    }
    if (!S_ISDIR(info.st_mode)) return StartupError{Quoted(folder) + " is not a folder"};
    if (::faccessat(AT_FDCWD, folder.c_str(), X_OK, AT_EACCESS) != 0) {
        return StartupError{std::string("The ") + what + " folder " + Quoted(folder) +
                            " cannot be read: " + std::strerror(errno)};
    }
    return std::nullopt;
}

// Reads the files in order and remembers the first that stops start-up; later reads are
// skipped.
class Reader {
  public:
    explicit Reader(std::string folder) : folder_(std::move(folder)) {}

    std::int16_t Whole(const char* file, std::int32_t min, std::int32_t max) {
        if (error_) return 0;
        auto result = ReadWholeNumber(folder_ + file, min, max);
        if (auto* failure = std::get_if<StartupError>(&result)) {
            error_ = *failure;
            return 0;
        }
        return static_cast<std::int16_t>(std::get<std::int32_t>(result));
    }

    // MaxStep and MinStep hold any decimal number; the limits are derived by rounding down.
    // A value is usable when its rounded-down value (the reachable end) lies in
    // [lowest, highest], so that the limit one step inside it fits 16 bits too.
    double Limit(const char* file, std::int32_t lowest, std::int32_t highest) {
        if (error_) return 0;
        const FileText read = ReadFileText(folder_ + file);
        const auto value = ParseDecimal(read.contents);
        if (!value || std::floor(*value) < lowest || std::floor(*value) > highest) {
            Fail(file, read,
                 "a number from " + std::to_string(lowest) + " to " + std::to_string(highest));
            return 0;
        }
        texts_[file == files::kMaxStep] = read.contents;
        return *value;
    }

    void Fail(const char* file, const std::string& expected) {
        if (!error_) Fail(file, ReadFileText(folder_ + file), expected);
    }
    void Fail(const char* file, const FileText& read, const std::string& expected) {
        if (!error_) error_ = FileError(folder_ + file, read, expected);
    }

    const std::string& MinStepText() const { return texts_[0]; }
    const std::string& folder() const { return folder_; }
    std::optional<StartupError>& error() { return error_; }

  private:
    std::string folder_;
    std::string texts_[2];  // MinStep, MaxStep as read
    std::optional<StartupError> error_;
};

// The six files of one axis, in their folder. `checkPhase` runs once the phase is known: what
// energising it needs must stop start-up before the step size is read.
template <typename CheckPhase>
AxisSettings ReadAxis(Reader& r, CheckPhase checkPhase) {
    AxisSettings s;
    s.middleStep = r.Whole(files::kMiddleStep, kInt16Min, kInt16Max);
    const double maxStep = r.Limit(files::kMaxStep, kInt16Min + 1, kInt16Max);
    const double minStep = r.Limit(files::kMinStep, kInt16Min, kInt16Max - 1);
    s.upperStep = FloorToInt16(maxStep - 1).value_or(0);
    s.lowerStep = FloorToInt16(minStep + 1).value_or(0);
    if (!r.error() && s.lowerStep - 1 > s.upperStep + 1) {
        r.Fail(files::kMinStep, {r.MinStepText(), {}, false},
               "a number not above the one in " + Quoted(r.folder() + files::kMaxStep));
    }
    // A position saved at either end comes back unchanged; only one beyond the right end,
    // left there by narrowing MaxStep, is taken back to it.
    s.totalSteps = r.Whole(files::kTotalSteps, kInt16Min, kInt16Max);
    s.totalSteps = static_cast<std::int16_t>(std::min<int>(s.totalSteps, s.upperStep + 1));
    if (s.totalSteps < s.lowerStep - 1) {
        r.Fail(files::kTotalSteps, "a position from " + std::to_string(s.lowerStep - 1) + " to " +
                                       std::to_string(s.upperStep + 1) +
                                       " (the range of MinStep to MaxStep)");
    }
    s.stepPhase = r.Whole(files::kStepCount, kInt16Min, kInt16Max);
    if (!r.error()) checkPhase(s.stepPhase);
    // -32768 cannot be counted down by the step timer.
    s.bigStep = r.Whole(files::kBigStep, kInt16Min + 1, kInt16Max);
    return s;
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::string Shown(std::string_view text) {
    std::string shown = EscapeBytes(TrimOf(text, kWhiteSpace), true);
    if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
    return shown;
}

std::string LptReading(const std::string& lptText, std::int32_t address) {
    // Blanks before the digits are not digits: only those after them are dropped.
    const std::string_view text = lptText;
    const std::string_view digits = text.substr(0, text.find_last_not_of(kWhiteSpace) + 1);
    bool onlyDigits = true;
    for (char c : digits) onlyDigits = onlyDigits && IsHexDigit(c);
    if (onlyDigits) return {};
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(address));
    return "Lpt.ini holds " + Quoted(Shown(lptText)) + ": read as " + hex +
           ", write the hexadecimal digits alone, e.g. 378";
}

std::variant<std::string, StartupError> ReadListenAddress(const std::string& baseDir) {
    const std::string path = baseDir + files::kListen;
    const FileText read = ReadFileText(path);
    if (read.missing) return std::string();
    const std::string_view text = read.contents;
    const std::string address(text.substr(0, text.find_last_not_of(kWhiteSpace) + 1));
    const std::string host = address.substr(0, address.find('%'));  // an IPv6 scope
    in6_addr ignored{};
    const bool v4 = address == host && ::inet_pton(AF_INET, host.c_str(), &ignored) == 1;
    if (!v4 && ::inet_pton(AF_INET6, host.c_str(), &ignored) != 1) {
        return FileError(path, read, "an IPv4 or IPv6 address, such as 127.0.0.1 or ::1");
    }
    return address;
}

bool AxisExists(const std::string& baseDir, Axis axis) {
    std::error_code ignored;
    return axis == Axis::Pan || std::filesystem::exists(baseDir + InfoOf(axis).folder, ignored);
}

Pages LoadPages(const std::string& baseDir) {
    Pages pages;
    pages.index = ReadFileContents(baseDir + files::kIndex);
    for (const Axis axis : kAxes) {
        if (!AxisExists(baseDir, axis)) continue;
        const AxisPageFiles& f = InfoOf(axis).pages;
        AxisPages& p = pages.axes[IndexOf(axis)];
        for (auto [page, file] : {std::pair{&p.lower, f.lower},
                                  {&p.higher, f.higher},
                                  {&p.atLowest, f.atLowest},
                                  {&p.atHighest, f.atHighest},
                                  {&p.middle, f.middle},
                                  {&p.atMiddle, f.atMiddle}}) {
            *page = ReadFileContents(baseDir + file);
        }
    }
    return pages;
}

std::variant<std::int32_t, StartupError> ReadWholeNumber(const std::string& path, std::int32_t min,
                                                         std::int32_t max) {
    const FileText read = ReadFileText(path);
    const auto value = ToInt32(read.contents);
    if (!value || *value < min || *value > max) return FileError(path, read, RangeText(min, max));
    return *value;
}

std::variant<DriveSettings, StartupError> LoadDriveSettings(const std::string& baseDir) {
    const std::string config = baseDir + files::kConfig;
    if (auto unusable = CheckConfigFolder(config, "Config")) return *unusable;
    DriveSettings s;
    s.lptText = ReadFileContents(baseDir + files::kLpt);
    s.lptAddress = Hex2Dec(s.lptText);
    const FileText gpio = ReadFileText(baseDir + files::kGpio);
    if (!gpio.missing) {
        auto parsed = ParseGpioConfig(gpio.contents);
        if (auto* expected = std::get_if<std::string>(&parsed)) {
            return FileError(baseDir + files::kGpio, gpio, *expected);
        }
        s.gpio = std::get<GpioConfig>(parsed);
    }
    Reader reader(config);
    s.axes[0] = ReadAxis(reader, [&](std::int16_t phase) {
        if (!s.gpio && s.lptAddress > 0xFFFF && phase >= 1 && phase <= 8) {
            reader.Fail("/Lpt.ini",
                        "a port address of at most four hexadecimal digits, such as 378");
        }
    });
    if (reader.error()) return *reader.error();
    // Every further axis: the same six files in a folder of their own, read the same way.
    for (const Axis axis : kAxes) {
        if (axis == Axis::Pan || !AxisExists(baseDir, axis)) continue;
        const std::string folder = baseDir + InfoOf(axis).folder;
        if (auto unusable = CheckConfigFolder(folder, InfoOf(axis).name)) return *unusable;
        Reader r(folder);
        s.axes[IndexOf(axis)] = ReadAxis(r, [](std::int16_t) {});
        if (r.error()) return *r.error();
        // On GPIO each axis's coils need lines of their own; without them it would count its
        // steps while nothing turns.
        if (s.gpio && !s.gpio->axes[IndexOf(axis)]) {
            return FileError(baseDir + files::kGpio, gpio,
                             std::string("a second line \"") + InfoOf(axis).name +
                                 " CHIP D0 D1 D2 D3\" for the motor of " + Quoted(folder));
        }
    }
    return s;
}

}  // namespace tarvik
