#include "ParallelPort.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "Fakes.h"
#include "TempDir.h"

namespace tarvik {
namespace {

// A fake /proc/sys/dev/parport with parport0 at 0x378 and parport1 at 0x278, and a fake
// /dev in which parport0 is an ordinary file (it opens but cannot be claimed).
class ParallelPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.Write("/proc/parport0/base-addr", "888\t1912\n");
        dir.Write("/proc/parport1/base-addr", "632\t1656\n");
        dir.Write("/dev/parport0", "");
    }
    std::string Describe(std::int32_t address, std::function<int(int)> claim = {}) {
        ParallelPort port(address, {}, dir.path() + "/proc", dir.path() + "/dev", {claim, {}});
        EXPECT_TRUE(port.Simulated());
        const std::string described = port.Describe();  // also before anything is written
        port.Write(12);                                 // dropped, and nothing else happens
        port.SwitchOff();
        EXPECT_EQ(dir.Read("/dev/parport0"), "");
        EXPECT_TRUE(port.Simulated());  // also once the port at 378 has been switched off
        EXPECT_EQ(port.Describe(), described);
        return described;
    }
    test::TempDir dir;
};

TEST_F(ParallelPortTest, AnUnusablePortIsSimulatedAndSaysWhy) {
    const std::string devices = dir.path() + "/dev/parport";
    EXPECT_EQ(Describe(0x3BC), "Port 0x3BC: simulated: no parallel port at this address");
    EXPECT_EQ(Describe(0), "Port 0x0: simulated: no port address configured");
    // Too wide: not even the port at the address's low 16 bits (0x2345) is claimed.
    dir.Write("/proc/parport2/base-addr", "9029\t0\n");
    dir.Write("/dev/parport2", "");
    std::vector<std::string> claimed;
    const auto record = [&claimed](int fd) {
        claimed.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)));
        return 0;
    };
    EXPECT_EQ(Describe(0x12345, record),
              "Port address 74565 needs more than 16 bits: nothing is written");
    EXPECT_EQ(claimed, std::vector<std::string>{dir.path() + "/dev/parport0"});  // at exit
    EXPECT_EQ(Describe(0x10378, [](int) { return 0; }),
              "Port address 66424 needs more than 16 bits: nothing is written");
    EXPECT_EQ(Describe(0x278).rfind("Port 0x278: simulated: cannot open " + devices + "1: ", 0),
              0u);
    EXPECT_EQ(Describe(0x378).rfind("Port 0x378: simulated: cannot claim " + devices + "0: ", 0),
              0u);
}

// The kernel's claim waits, interruptibly, while another program holds the port. A claim
// that behaves so must not hold up start-up: the port is then simulated.
TEST_F(ParallelPortTest, APortHeldByAnotherProgramIsSimulatedInsteadOfWaitedFor) {
    const auto waitsForASignal = [](int) { return ::poll(nullptr, 0, -1); };
    EXPECT_EQ(Describe(0x378, waitsForASignal), "Port 0x378: simulated: cannot claim " +
                                                    dir.path() +
                                                    "/dev/parport0: in use by another program");
    // Any other refusal is said at once, without waiting.
    int claims = 0;
    const auto refuses = [&claims](int) {
        ++claims;
        errno = ENXIO;
        return -1;
    };
    EXPECT_EQ(Describe(0x378, refuses), "Port 0x378: simulated: cannot claim " + dir.path() +
                                            "/dev/parport0: No such device or address");
    EXPECT_EQ(claims, 1);
}

// With the driver's calls recorded: patterns go to the configured port; switching off also
// reaches 378 hexadecimal when the coils are driven elsewhere.
TEST_F(ParallelPortTest, TheCoilsAreWrittenAndSwitchedOffWhereTheyAreDriven) {
    test::StdinClosed closed;  // the port is opened as descriptor 0
    dir.Write("/dev/parport1", "");
    std::vector<std::pair<std::string, int>> writes;
    const auto record = [&writes](int fd, std::uint8_t value) {
        const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
        writes.emplace_back(path.filename().string(), value);
    };
    ParallelPort port(0x278, {}, dir.path() + "/proc", dir.path() + "/dev",
                      {[](int) { return 0; }, record});
    EXPECT_FALSE(port.Simulated());
    EXPECT_EQ(port.Describe(), "Port 0x278: " + dir.path() + "/dev/parport1");
    port.Write(12);
    port.SwitchOff();
    const std::vector<std::pair<std::string, int>> expected = {
        {"parport1", 12}, {"parport1", 0}, {"parport0", 0}};
    EXPECT_EQ(writes, expected);
    writes.clear();
    ParallelPort atDefault(888, {}, dir.path() + "/proc", dir.path() + "/dev",
                           {[](int) { return 0; }, record});
    atDefault.SwitchOff();
    EXPECT_EQ(writes, (std::vector<std::pair<std::string, int>>{{"parport0", 0}}));
    // The highest address 16 bits hold is a port like any other.
    dir.Write("/proc/parport3/base-addr", "65535\t0\n");
    dir.Write("/dev/parport3", "");
    ParallelPort atTheTop(0xFFFF, {}, dir.path() + "/proc", dir.path() + "/dev",
                          {[](int) { return 0; }, record});
    EXPECT_FALSE(atTheTop.Simulated()) << atTheTop.Describe();
}

}  // namespace
}  // namespace tarvik
