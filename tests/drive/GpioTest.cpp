#include "GpioOutput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Fakes.h"

namespace tarvik {
namespace {

TEST(GpioConfig, OneLineWithAChipAndFourDifferentOffsets) {
    const auto good = ParseGpioConfig("gpiochip0 22 27 18 17\r\n");
    ASSERT_TRUE(std::holds_alternative<GpioConfig>(good));
    const GpioMotorLines& config = std::get<GpioConfig>(good).Pan();
    EXPECT_EQ(config.ChipPath(), "/dev/gpiochip0");
    EXPECT_EQ(config.lines, (std::array<std::uint32_t, 4>{22, 27, 18, 17}));
    EXPECT_FALSE(config.activeLow);
    // Offsets of up to nine digits are read; the kernel says whether the chip has them.
    const auto wide = ParseGpioConfig("gpiochip0 999999999 2 3 4");
    ASSERT_TRUE(std::holds_alternative<GpioConfig>(wide));
    EXPECT_EQ(std::get<GpioConfig>(wide).Pan().lines[0], 999999999u);
    const auto low = ParseGpioConfig("\n/dev/gpiochip4  5 6 7 8 active-low\n\n");
    ASSERT_TRUE(std::holds_alternative<GpioConfig>(low));
    EXPECT_EQ(std::get<GpioConfig>(low).Pan().ChipPath(), "/dev/gpiochip4");
    EXPECT_TRUE(std::get<GpioConfig>(low).Pan().activeLow);
    for (const char* bad :
         {"", "gpiochip0 22 27 18", "gpiochip0 22 27 18 17 16", "gpiochip0 22 x 18 17",
          "gpiochip0 22 22 18 17", "gpiochip0 22 27 18 18", "gpiochip0 1 2 3 4\ngpiochip0 1 2 3 4",
          "gpiochip0 1 2 3 4 active-high", "7 1 2 3 4", "gpiochip0 -1 2 3 4"}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(ParseGpioConfig(bad))) << bad;
    }
}

// The record of the fake chip (tests/fakes/FakeGpioChip.cpp), linked into this executable.
extern "C" void FakeGpioChipLogTo(int fd);

// Hands out descriptor 0 as the handle: a service may start without standard input.
struct RecordingLines : GpioLines {
    int Request(const std::string& chip, const std::vector<std::uint32_t>& offsets,
                std::uint32_t values, std::string& error) override {
        requested = chip;
        lines.insert(lines.end(), offsets.begin(), offsets.end());
        calls.push_back(static_cast<int>(values));
        if (!refusal.empty() && requests >= granted) {
            error = refusal;
            return -1;
        }
        return requests++;
    }
    void Set(int handle, std::uint32_t values) override {
        calls.push_back(handle == 0 ? static_cast<int>(values) : -1000 - static_cast<int>(values));
    }
    void Release(int handle) override { released = handle; }
    std::string refusal, requested;
    std::vector<std::uint32_t> lines;
    std::vector<int> calls;  // each request's starting values, then one entry per Set
    int requests = 0;        // handles given: 0, 1, ...
    int granted = 0;         // requests granted before the refusal
    int released = -1;
};

// A move writes one call per tick with all four lines; off at the end; released at exit.
TEST(GpioOutput, AMoveSetsAllFourLinesOnceATickAndSwitchingOffReleases) {
    RecordingLines kernel;
    {
        const auto config = GpioConfig::Of({"gpiochip0", {22, 27, 18, 17}, true});
        GpioOutput output(config, kernel);
        EXPECT_EQ(output.Describe(), "GPIO gpiochip0 lines 22 27 18 17 (active-low)");
        test::FakeTimer timer;
        test::RecordingListener listener;
        SharedMotor motor(output, timer, listener);
        motor.Load(test::Settings(-99, 99, 0, 1, 3));
        motor.With([](Motor& m) { m.BigMove(Direction::Right); });
        while (timer.enabled) motor.Tick();
        output.SwitchOff();
    }
    EXPECT_EQ(kernel.requested, "/dev/gpiochip0");
    EXPECT_EQ(kernel.lines, (std::vector<std::uint32_t>{22, 27, 18, 17}));
    // Off (all high, active-low), phase 1 at start, phases 2 3 4, off again.
    EXPECT_EQ(kernel.calls, (std::vector<int>{15, 3, 11, 9, 13, 15}));
    EXPECT_EQ(kernel.released, 0);
}

// The tilt's lines beside the pan's: all eight set in one call on one chip, each chip its
// own call otherwise.
TEST(GpioOutput, ATiltMotorSharesTheCallOfItsChip) {
    for (const char* tiltChip : {"gpiochip0", "gpiochip1"}) {
        RecordingLines kernel;
        auto config = ParseGpioConfig(std::string("gpiochip0 1 2 3 4\ntilt ") + tiltChip +
                                      " 5 6 7 8 active-low\n");
        ASSERT_TRUE(std::holds_alternative<GpioConfig>(config));
        GpioOutput output(std::get<GpioConfig>(config), kernel);
        output.Write(0x4C);  // tilt phase 2 (0100), pan phase 1 (1100)
        const bool shared = std::string(tiltChip) == "gpiochip0";
        EXPECT_EQ(kernel.requests, shared ? 1 : 2);
        const std::vector<int> oneCall{0xF0, 0xBC}, twoCalls{0x0, 0xF, 0xC, -1000 - 0xB};
        EXPECT_EQ(kernel.calls, shared ? oneCall : twoCalls) << tiltChip;
        EXPECT_EQ(output.Describe(), std::string("GPIO gpiochip0 lines 1 2 3 4, tilt ") + tiltChip +
                                         " lines 5 6 7 8 (active-low)");
    }
    EXPECT_TRUE(std::holds_alternative<std::string>(
        ParseGpioConfig("gpiochip0 1 2 3 4\ntilt gpiochip0 4 5 6 7")));  // a line twice
}

TEST(GpioOutput, LinesThatCannotBeHadAreSimulatedWithTheReason) {
    RecordingLines kernel;
    kernel.refusal = "a line is in use by another program";
    GpioOutput output(GpioConfig::Of({"gpiochip0", {1, 2, 3, 4}, false}), kernel);
    EXPECT_TRUE(output.Simulated());
    EXPECT_EQ(output.Describe(), "GPIO gpiochip0: simulated: a line is in use by another program");
    output.Write(12);
    EXPECT_EQ(kernel.calls.size(), 1u);
    // The tilt's chip refused: the pan's lines, already had, are given back.
    RecordingLines partly;
    partly.refusal = "busy";
    partly.granted = 1;
    GpioOutput both(
        std::get<GpioConfig>(ParseGpioConfig("gpiochip0 1 2 3 4\ntilt gpiochip1 5 6 7 8")), partly);
    EXPECT_TRUE(both.Simulated());
    EXPECT_EQ(partly.released, 0);
    // The kernel's refusals: no such chip, no write access, not a GPIO chip at all.
    for (const auto& [chip, reason] :
         {std::pair{"/dev/no-such-gpiochip", "No such file or directory"},
          {"/sys/devices/system/cpu/online", "(is the user in group gpio?)"},
          {"/dev/null", "cannot request the lines of /dev/null: Inappropriate ioctl"},
          {"/dev/fake-gpiochip", "a line is in use by another program"}}) {  // line 13
        test::StdinClosed closed;  // the chip is opened as descriptor 0
        KernelGpioLines real;
        std::string error;
        EXPECT_EQ(real.Request(chip, {1, 2, 13, 4}, 0, error), -1) << chip;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

// What reaches the kernel: the lines requested as outputs for "tarvik", starting switched off
// (active-low inverted here, not by the kernel), and each pattern in one call that sets every
// line of the chip's request, the tilt's beside the pan's.
TEST(KernelGpioLines, TheRequestAndEachSetReachTheKernelAsTheLinesNeedThem) {
    const std::tuple<const char*, std::vector<std::uint8_t>, const char*> rows[] = {
        {"/dev/fake-gpiochip 4 5 6 7",
         {0x3, 0xC, 0x9, 0},
         "request tarvik 4 5 6 7 flags 8 values 0/f\n"
         "set 3/f\nset c/f\nset 9/f\nset 0/f\n"},
        {"/dev/fake-gpiochip 4 5 6 7 active-low",
         {0x3, 0},
         "request tarvik 4 5 6 7 flags 8 values f/f\n"
         "set c/f\nset f/f\n"},
        {"/dev/fake-gpiochip 0 1 2 3\ntilt /dev/fake-gpiochip 8 9 10 11 active-low",
         {0x4C, 0x19, 0},
         "request tarvik 0 1 2 3 8 9 10 11 flags 8 values f0/ff\n"
         "set bc/ff\nset e9/ff\nset f0/ff\n"},
    };
    for (const auto& [ini, patterns, expected] : rows) {
        int log[2];
        ASSERT_EQ(::pipe2(log, O_CLOEXEC | O_NONBLOCK), 0);
        FakeGpioChipLogTo(log[1]);
        {
            KernelGpioLines kernel;
            GpioOutput output(std::get<GpioConfig>(ParseGpioConfig(ini)), kernel);
            EXPECT_FALSE(output.Simulated()) << output.Describe();
            for (std::uint8_t pattern : patterns) output.Write(pattern);
        }
        FakeGpioChipLogTo(-1);
        char record[4096];
        const ssize_t got = ::read(log[0], record, sizeof record);
        EXPECT_EQ(std::string(record, got > 0 ? static_cast<std::size_t>(got) : 0), expected)
            << ini;
        ::close(log[0]);
        ::close(log[1]);
    }
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Against the kernel's simulated chip (gpio-sim, through configfs), where the kernel offers
// one: the lines are requested for real and each pattern is read back from sysfs.
TEST(GpioOutput, ASimulatedChipReceivesThePatterns) {
    const std::string sim = "/sys/kernel/config/gpio-sim";
    if (!std::filesystem::exists(sim)) {
        GTEST_SKIP() << "this kernel offers no gpio-sim (configfs with the gpio-sim module)";
    }
    const std::string device = sim + "/tarvik-test";
    std::filesystem::create_directories(device + "/bank0");
    std::ofstream(device + "/bank0/num_lines") << 8;
    std::ofstream(device + "/live") << 1;
    const std::string chip = ReadLine(device + "/bank0/chip_name");
    const std::string values =
        "/sys/devices/platform/" + ReadLine(device + "/dev_name") + "/" + chip;
    {
        KernelGpioLines kernel;
        GpioOutput output(GpioConfig::Of({chip, {4, 5, 6, 7}, false}), kernel);
        EXPECT_FALSE(output.Simulated()) << output.Describe();
        for (std::uint8_t pattern : kPhasePattern) {
            output.Write(pattern);
            for (int bit = 0; bit < 4; ++bit) {
                EXPECT_EQ(ReadLine(values + "/sim_gpio" + std::to_string(4 + bit) + "/value"),
                          ((pattern >> bit) & 1) ? "1" : "0");
            }
        }
    }
    std::ofstream(device + "/live") << 0;
    std::filesystem::remove(device + "/bank0");
    std::filesystem::remove(device);
}

}  // namespace
}  // namespace tarvik
