// The real port writer: the kernel's parallel port driver through ppdev.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "CoilOutput.h"

namespace tarvik {

// The coils on the data lines of the parallel port at the configured I/O address, through
// the kernel's ppdev driver. The address is resolved to the parport whose base address it is
// (/proc/sys/dev/parport/parportN/base-addr), opened as /dev/parportN and claimed. When that
// is impossible, or the address needs more than 16 bits, writes are dropped and Describe()
// says why. Raw port I/O is never used: a wrong address there can hang the machine.
// Switching off also writes 0 to the port at 378 hexadecimal, the usual first port, so that
// coils wired there are off even when Lpt.ini names another address.
class ParallelPort : public CoilOutput {
  public:
    // The two driver calls: claim an opened port (0, or -1 with errno, as ioctl(PPCLAIM),
    // which waits for as long as another program holds the port) and write the data
    // register (ioctl(PPWDATA)). Tests replace them.
    struct DriverCalls {
        std::function<int(int fd)> claim;
        std::function<void(int fd, std::uint8_t value)> write;
    };

    // `address` as read from the configuration (hexadecimal digits converted), any width;
    // `reading` says how it was read when the file held more than digits.
    explicit ParallelPort(std::int32_t address, std::string reading = {},
                          std::string procRoot = "/proc/sys/dev/parport",
                          std::string devRoot = "/dev", DriverCalls calls = {});
    ~ParallelPort() override;
    ParallelPort(const ParallelPort&) = delete;
    ParallelPort& operator=(const ParallelPort&) = delete;

    void Write(std::uint8_t pattern) override;
    void SwitchOff() override;
    // "Port 0x378: /dev/parport0" or "Port 0x378: simulated: <reason>".
    std::string Describe() const override;
    bool Simulated() const override;

  private:
    struct Device {
        int fd = -1;  // -1: simulated
        std::string description;
        int offSlot = -1;  // its switch-off, for a crash
    };
    Device& Resolve(std::uint16_t address);
    Device Open(std::uint16_t address) const;
    std::string FindParport(std::uint16_t address) const;
    void Out(std::uint16_t address, std::uint8_t value);

    std::int32_t address_;
    std::string reading_;
    std::string procRoot_;
    std::string devRoot_;
    DriverCalls calls_;
    std::map<std::uint16_t, Device> devices_;
};

// What the port at `address` would be, found without opening or claiming anything:
// "Port 0x378: /dev/parport0", or why there is none to drive.
struct PortLocation {
    bool found = false;
    std::string said;
};
PortLocation LocateParallelPort(std::int32_t address, const std::string& reading = {},
                                const std::string& procRoot = "/proc/sys/dev/parport");

// The fixed address that receives 0 at exit, whatever the configured port.
inline constexpr std::uint16_t kShutdownPortAddress = 888;

}  // namespace tarvik
