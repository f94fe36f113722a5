#include "ParallelPort.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "TempDir.h"

namespace tarvik {
namespace {

using test::TempDir;

// A fake /proc/sys/dev/parport with parport0 at 0x378 and parport1 at 0x278, and a fake
// /dev in which parport0 is an ordinary file (it opens but cannot be claimed).
class ParallelPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.Write("/proc/parport0/base-addr", "888\t1912\n");
        dir.Write("/proc/parport1/base-addr", "632\t1656\n");
        dir.Write("/dev/parport0", "");
    }
    TempDir dir;
    ParallelPort port{dir.path() + "/proc", dir.path() + "/dev"};
};

TEST_F(ParallelPortTest, AnAddressWithoutAParportIsSimulated) {
    EXPECT_TRUE(port.IsSimulated(0x3BC));
    EXPECT_EQ(port.Describe(0x3BC), "Port 0x3BC: simulated: no parallel port at this address");
}

TEST_F(ParallelPortTest, AddressZeroIsSimulated) {
    EXPECT_EQ(port.Describe(0), "Port 0x0: simulated: no port address configured");
}

TEST_F(ParallelPortTest, AMissingDeviceNodeSaysWhyItCannotBeOpened) {
    const std::string text = port.Describe(0x278);
    EXPECT_NE(text.find("Port 0x278: simulated: cannot open "), std::string::npos) << text;
    EXPECT_NE(text.find("/dev/parport1"), std::string::npos) << text;
}

TEST_F(ParallelPortTest, ADeviceThatCannotBeClaimedIsSimulated) {
    const std::string text = port.Describe(0x378);
    EXPECT_NE(text.find("Port 0x378: simulated: cannot claim "), std::string::npos) << text;
    port.Out(0x378, 12);  // dropped, and nothing else happens
    EXPECT_EQ(dir.Read("/dev/parport0"), "");
}

// The kernel's claim waits, interruptibly, while another program holds the port. A claim
// that behaves so must not hold up start-up: the port is then simulated.
TEST_F(ParallelPortTest, APortHeldByAnotherProgramIsSimulatedInsteadOfWaitedFor) {
    int attempts = 0;
    ParallelPort busy(dir.path() + "/proc", dir.path() + "/dev", [&attempts](int) {
        ++attempts;
        return ::poll(nullptr, 0, -1);  // waits until a signal interrupts it
    });
    EXPECT_EQ(busy.Describe(0x378), "Port 0x378: simulated: cannot claim " + dir.path() +
                                        "/dev/parport0: in use by another program");
    EXPECT_GE(attempts, 1);
}

}  // namespace
}  // namespace tarvik
