#include "GpioOutput.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <sstream>
#include <vector>

namespace tarvik {
namespace {

const char* kExpected =
    "one line: a GPIO chip (such as gpiochip0) and four different line offsets for D0 D1 D2 "
    "D3, optionally followed by active-low";

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

}  // namespace

std::variant<GpioConfig, std::string> ParseGpioConfig(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string line, extra;
    while (std::getline(lines, line) && line.find_first_not_of(" \t\r") == std::string::npos) {
    }
    while (std::getline(lines, extra)) {
        if (extra.find_first_not_of(" \t\r") != std::string::npos) return std::string(kExpected);
    }
    std::istringstream words(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
    GpioConfig config;
    if (w.size() == 6 && w[5] == "active-low") {
        config.activeLow = true;
        w.pop_back();
    }
    if (w.size() != 5 || IsNumber(w[0])) return std::string(kExpected);
    config.chip = w[0];
    for (std::size_t i = 0; i < 4; ++i) {
        if (!IsNumber(w[i + 1])) return std::string(kExpected);
        config.lines[i] = static_cast<std::uint32_t>(std::stoul(w[i + 1]));
        for (std::size_t j = 0; j < i; ++j) {
            if (config.lines[j] == config.lines[i]) return std::string(kExpected);
        }
    }
    return config;
}

int KernelGpioLines::Request(const std::string& chipPath, const std::array<std::uint32_t, 4>& lines,
                             std::uint8_t values, std::string& error) {
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
    request.config.attrs[0].mask = 0x0F;
    const int result = ::ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request);
    const int saved = errno;
    ::close(chip);
    if (result < 0) {
        error = Reason(saved, chipPath);
        return -1;
    }
    return request.fd;
}

void KernelGpioLines::Set(int handle, std::uint8_t values) {
    gpio_v2_line_values set{};
    set.bits = values;
    set.mask = 0x0F;
    ::ioctl(handle, GPIO_V2_LINE_SET_VALUES_IOCTL, &set);
}

void KernelGpioLines::Release(int handle) {
    ::close(handle);
}

GpioOutput::GpioOutput(GpioConfig config, GpioLines& lines)
    : config_(std::move(config)), lines_(lines) {
    std::string error;
    handle_ =
        lines_.Request(config_.ChipPath(), config_.lines, LineValues(0, config_.activeLow), error);
    description_ = "GPIO " + config_.chip;
    if (handle_ < 0) {
        description_ += ": simulated: " + error;
        return;
    }
    description_ += " lines";
    for (std::uint32_t line : config_.lines) description_ += " " + std::to_string(line);
    if (config_.activeLow) description_ += " (active-low)";
}

GpioOutput::~GpioOutput() {
    if (handle_ >= 0) lines_.Release(handle_);
}

void GpioOutput::Write(std::uint8_t pattern) {
    if (handle_ >= 0) lines_.Set(handle_, LineValues(pattern, config_.activeLow));
}

}  // namespace tarvik
