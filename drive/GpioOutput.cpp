#include "GpioOutput.h"
#include "CrashSwitchOff.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

namespace tarvik {
namespace {

const char* kExpected =
    "one line: a GPIO chip (such as gpiochip0) and four different line offsets for D0 D1 D2 "
    "D3, optionally followed by active-low; and for a tilt motor a second line beginning with "
    "tilt";

bool IsNumber(const std::string& word) {
    return !word.empty() && word.size() <= 9 &&
           word.find_first_not_of("0123456789") == std::string::npos;
}

std::string Reason(int error, const std::string& chipPath) {
    if (error == EBUSY) return "a line is in use by another program";
    if (error == EACCES || error == EPERM) {
        return "cannot open " + chipPath + ": " + std::strerror(error) +
               " (is the user in group gpio?)";
    }
    return "cannot request the lines of " + chipPath + ": " + std::strerror(error);
}

// One motor's line: CHIP D0 D1 D2 D3 [active-low]; false when it is not.
bool ParseMotorLines(std::vector<std::string> w, GpioMotorLines& into) {
    if (w.size() == 6 && w[5] == "active-low") {
        into.activeLow = true;
        w.pop_back();
    }
    if (w.size() != 5 || IsNumber(w[0])) return false;
    into.chip = w[0];
    for (std::size_t i = 0; i < 4; ++i) {
        if (!IsNumber(w[i + 1])) return false;
        into.lines[i] = static_cast<std::uint32_t>(std::stoul(w[i + 1]));
        for (std::size_t j = 0; j < i; ++j) {
            if (into.lines[j] == into.lines[i]) return false;
        }
    }
    return true;
}

// Two axes' lines on one chip must not share a line.
bool Overlap(const GpioMotorLines& a, const GpioMotorLines& b) {
    if (a.ChipPath() != b.ChipPath()) return false;
    return std::any_of(a.lines.begin(), a.lines.end(), [&](std::uint32_t line) {
        return std::count(b.lines.begin(), b.lines.end(), line) != 0;
    });
}

// The axis a further line names with its first word, or none.
std::optional<Axis> NamedAxis(const std::string& word) {
    for (const Axis axis : kAxes) {
        if (axis != Axis::Pan && word == InfoOf(axis).name) return axis;
    }
    return std::nullopt;
}

}  // namespace

std::variant<GpioConfig, std::string> ParseGpioConfig(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::vector<std::vector<std::string>> motors;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (!w.empty()) motors.push_back(std::move(w));
    }
    GpioConfig config;
    if (motors.empty() || motors.size() > kAxisCount ||
        !ParseMotorLines(motors[0], config.axes[0].emplace())) {
        return std::string(kExpected);
    }
    for (std::size_t m = 1; m < motors.size(); ++m) {
        const auto axis = NamedAxis(motors[m][0]);
        if (!axis || config.axes[IndexOf(*axis)]) return std::string(kExpected);
        motors[m].erase(motors[m].begin());
        auto& into = config.axes[IndexOf(*axis)].emplace();
        if (!ParseMotorLines(motors[m], into)) return std::string(kExpected);
        for (std::size_t other = 0; other < kAxisCount; ++other) {
            if (other != IndexOf(*axis) && config.axes[other] &&
                Overlap(into, *config.axes[other])) {
                return std::string(kExpected);
            }
        }
    }
    return config;
}

GpioProbe ProbeGpioLines(const GpioMotorLines& motor) {
    const std::string path = motor.ChipPath();
    const int chip = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (chip < 0) {
        const int error = errno;
        return {false,
                motor.chip + ": cannot open " + path + ": " + std::strerror(error) +
                    (error == EACCES || error == EPERM ? " (is the user in group gpio?)" : "")};
    }
    gpiochip_info info{};
    if (::ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        const int saved = errno;
        ::close(chip);
        return {false, motor.chip + ": not a GPIO chip: " + std::strerror(saved)};
    }
    std::string problem;
    for (const std::uint32_t line : motor.lines) {
        if (!problem.empty()) break;
        if (line >= info.lines) {
            problem = "line " + std::to_string(line) + " does not exist";
            continue;
        }
        gpio_v2_line_info lineInfo{};
        lineInfo.offset = line;
        if (::ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &lineInfo) < 0) {
            problem = "line " + std::to_string(line) + ": " + std::strerror(errno);
        } else if ((lineInfo.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
            problem = "line " + std::to_string(line) + " is in use by " +
                      (lineInfo.consumer[0] != '\0'
                           ? std::string(lineInfo.consumer,
                                         strnlen(lineInfo.consumer, sizeof lineInfo.consumer))
                           : std::string("the kernel"));
        }
    }
    ::close(chip);
    std::string said = motor.chip + " [" +
                       std::string(info.label, strnlen(info.label, sizeof info.label)) + "], " +
                       std::to_string(info.lines) + " lines: ";
    if (!problem.empty()) return {false, said + problem};
    for (const std::uint32_t line : motor.lines) said += std::to_string(line) + " ";
    return {true, said + "free" + (motor.activeLow ? " (active-low)" : "")};
}

int KernelGpioLines::Request(const std::string& chipPath, const std::vector<std::uint32_t>& lines,
                             std::uint32_t values, std::string& error) {
    const int chip = ::open(chipPath.c_str(), O_RDWR | O_CLOEXEC);
    if (chip < 0) {
        error = Reason(errno, chipPath);
        return -1;
    }
    gpio_v2_line_request request{};
    for (std::size_t i = 0; i < lines.size(); ++i) request.offsets[i] = lines[i];
    std::strncpy(request.consumer, "tarvik", sizeof request.consumer - 1);
    request.num_lines = static_cast<std::uint32_t>(lines.size());
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = values;
    request.config.attrs[0].mask = (1u << lines.size()) - 1;
    const int result = ::ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request);
    const int saved = errno;
    ::close(chip);
    if (result < 0) {
        error = Reason(saved, chipPath);
        return -1;
    }
    gpio_v2_line_values off{};
    off.bits = values;
    off.mask = request.config.attrs[0].mask;
    offSlots_[request.fd] =
        crash::RegisterOffWrite(request.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &off, sizeof off);
    return request.fd;
}

void KernelGpioLines::Set(int handle, std::uint32_t values) {
    gpio_v2_line_values set{};
    set.bits = values;
    set.mask = 0xFF;  // lines beyond those requested are ignored by the kernel
    ::ioctl(handle, GPIO_V2_LINE_SET_VALUES_IOCTL, &set);
}

void KernelGpioLines::Release(int handle) {
    if (const auto found = offSlots_.find(handle); found != offSlots_.end()) {
        crash::UnregisterOffWrite(found->second);
        offSlots_.erase(found);
    }
    ::close(handle);
}

std::string GpioMotorLines::Describe() const {
    std::string text = chip + " lines";
    for (std::uint32_t line : lines) {
        text += ' ';
        text += std::to_string(line);
    }
    return text + (activeLow ? " (active-low)" : "");
}

// Each axis's lines: one request for the axes that share a chip, in the table's order.
GpioOutput::GpioOutput(GpioConfig config, GpioLines& lines)
    : config_(std::move(config)), lines_(lines) {
    for (const Axis axis : kAxes) {
        const auto& motor = config_.axes[IndexOf(axis)];
        if (!motor) continue;
        const auto shared = std::find_if(requests_.begin(), requests_.end(), [&](const Request& r) {
            return r.motors[0]->ChipPath() == motor->ChipPath();
        });
        Request& request = shared != requests_.end() ? *shared : requests_.emplace_back();
        request.motors.push_back(&*motor);
        request.axes.push_back(axis);
    }
    std::string problem;
    for (Request& request : requests_) {
        std::vector<std::uint32_t> offsets;
        for (const GpioMotorLines* motor : request.motors) {
            offsets.insert(offsets.end(), motor->lines.begin(), motor->lines.end());
        }
        std::string error;
        request.handle =
            lines_.Request(request.motors[0]->ChipPath(), offsets, ValuesFor(request, 0), error);
        if (request.handle < 0 && problem.empty()) problem = request.motors[0]->chip + ": " + error;
    }
    if (!problem.empty()) {
        description_ = "GPIO " + problem.substr(0, problem.find(':')) +
                       ": simulated: " + problem.substr(problem.find(':') + 2);
        for (Request& request : requests_) {
            if (request.handle >= 0) lines_.Release(request.handle);
            request.handle = -1;
        }
        return;
    }
    description_ = "GPIO " + config_.Pan().Describe();
    for (const Axis axis : kAxes) {
        if (axis != Axis::Pan && config_.axes[IndexOf(axis)]) {
            description_ += std::string(", ") + InfoOf(axis).name + " " +
                            config_.axes[IndexOf(axis)]->Describe();
        }
    }
}

GpioOutput::~GpioOutput() {
    for (const Request& request : requests_) {
        if (request.handle >= 0) lines_.Release(request.handle);
    }
}

bool GpioOutput::Simulated() const {
    return requests_[0].handle < 0;
}

std::uint32_t GpioOutput::ValuesFor(const Request& request, std::uint8_t pattern) const {
    std::uint32_t values = 0;
    for (std::size_t i = 0; i < request.motors.size(); ++i) {
        const auto nibble =
            static_cast<std::uint8_t>(pattern >> InfoOf(request.axes[i]).firstDataLine);
        values |= std::uint32_t{LineValues(nibble, request.motors[i]->activeLow)} << (4 * i);
    }
    return values;
}

void GpioOutput::Write(std::uint8_t pattern) {
    for (const Request& request : requests_) {
        if (request.handle >= 0) lines_.Set(request.handle, ValuesFor(request, pattern));
    }
}

}  // namespace tarvik
