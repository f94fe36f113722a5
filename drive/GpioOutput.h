// The coils on GPIO lines of a single-board computer (a ULN2003 board driving a 28BYJ-48,
// for instance), through the kernel's GPIO character device.
//
// Config/Gpio.ini, one line for the pan motor and optionally one for each further axis, which
// begins with the axis's name:
//   CHIP D0 D1 D2 D3 [active-low]
//   tilt CHIP D0 D1 D2 D3 [active-low]
//   CHIP: a name such as gpiochip0 or a path under /dev; D0..D3: the line offsets that take
//   bits D0..D3 of each motor's coil pattern.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Axes.h"
#include "CoilOutput.h"

namespace tarvik {

// Four lines of one chip for one motor.
struct GpioMotorLines {
    std::string chip;                      // as written: gpiochip0 or /dev/gpiochip0
    std::array<std::uint32_t, 4> lines{};  // offsets for D0, D1, D2, D3
    bool activeLow = false;
    std::string ChipPath() const { return chip.starts_with("/dev/") ? chip : "/dev/" + chip; }
    // "gpiochip0 lines 22 27 18 17", with " (active-low)" where so.
    std::string Describe() const;
};

// Which lines take each axis's coils: the pan's always, another axis's where its line names it.
struct GpioConfig {
    PerAxis<std::optional<GpioMotorLines>> axes;
    const GpioMotorLines& Pan() const { return *axes[0]; }
    static GpioConfig Of(GpioMotorLines pan) { return {{std::move(pan)}}; }
};

// The text of Gpio.ini, or what was expected instead.
std::variant<GpioConfig, std::string> ParseGpioConfig(std::string_view text);

// What a run would get on one motor's lines, found without requesting them: the chip is
// opened read-only and each line's information read. `said`: "gpiochip0 [pinctrl-bcm2711],
// 58 lines: 22 27 18 17 free" or why the lines cannot be had.
struct GpioProbe {
    bool usable = false;
    std::string said;
};
GpioProbe ProbeGpioLines(const GpioMotorLines& motor);

// The physical values of lines D0..D3 (bit 0 = D0) for a coil pattern.
inline std::uint8_t LineValues(std::uint8_t pattern, bool activeLow) {
    return static_cast<std::uint8_t>((activeLow ? ~pattern : pattern) & 0x0F);
}

// The kernel's three calls, behind a seam so that tests can record them.
class GpioLines {
  public:
    virtual ~GpioLines() = default;
    // Requests the lines of one chip together as outputs for "tarvik", starting at `values`
    // (bit i for lines[i]). Returns a handle, or -1 with `error` set.
    virtual int Request(const std::string& chipPath, const std::vector<std::uint32_t>& lines,
                        std::uint32_t values, std::string& error) = 0;
    // Sets all the handle's lines in one call. A failed set is not retried: the next tick sets
    // them again.
    virtual void Set(int handle, std::uint32_t values) = 0;
    virtual void Release(int handle) = 0;
};

// linux/gpio.h, version 2 of the line interface: the same on every current kernel, without
// a library whose interface differs between distributions.
// The values a request starts at are its lines' switch-off, which a crash writes too.
class KernelGpioLines : public GpioLines {
  public:
    int Request(const std::string& chipPath, const std::vector<std::uint32_t>& lines,
                std::uint32_t values, std::string& error) override;
    void Set(int handle, std::uint32_t values) override;
    void Release(int handle) override;

  private:
    std::map<int, int> offSlots_;  // by handle
};

// Each tick's byte (each axis's pattern at its data lines: pan in bits 0..3, tilt in 4..7)
// reaches the lines in one call per chip: all eight in one when both motors are on one chip.
class GpioOutput : public CoilOutput {
  public:
    GpioOutput(GpioConfig config, GpioLines& lines);
    ~GpioOutput() override;
    GpioOutput(const GpioOutput&) = delete;
    GpioOutput& operator=(const GpioOutput&) = delete;

    void Write(std::uint8_t pattern) override;
    void SwitchOff() override { Write(0); }
    // "GPIO gpiochip0 lines 22 27 18 17" or "GPIO gpiochip0: simulated: <reason>".
    std::string Describe() const override { return description_; }
    bool Simulated() const override;

  private:
    // One request: the motors whose lines it holds, in order (pan first).
    struct Request {
        int handle = -1;
        std::vector<const GpioMotorLines*> motors;
        std::vector<Axis> axes;  // for each motor, the axis whose bits it takes
    };
    std::uint32_t ValuesFor(const Request& request, std::uint8_t pattern) const;

    GpioConfig config_;
    GpioLines& lines_;
    std::vector<Request> requests_;
    std::string description_;
};

}  // namespace tarvik
