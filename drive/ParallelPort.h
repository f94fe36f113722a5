// The real port writer: the kernel's parallel port driver through ppdev.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Platform.h"

namespace tarvik {

// Each I/O address is resolved once, on first use, to the parport whose base address it
// is (/proc/sys/dev/parport/parportN/base-addr), opened as /dev/parportN and claimed.
// When that is impossible the address is simulated: writes are dropped and Describe()
// says why. Raw port I/O is never used: a wrong address there can hang the machine.
class ParallelPort : public PortWriter {
  public:
    // Claims an opened port; 0 or -1 with errno, as ioctl(PPCLAIM), which waits for as long
    // as another program holds the port.
    using ClaimFunction = std::function<int(int fd)>;

    explicit ParallelPort(std::string procRoot = "/proc/sys/dev/parport",
                          std::string devRoot = "/dev", ClaimFunction claim = {});
    ~ParallelPort() override;
    ParallelPort(const ParallelPort&) = delete;
    ParallelPort& operator=(const ParallelPort&) = delete;

    void Out(std::uint16_t address, std::uint8_t value) override;

    // "Port 0x378: /dev/parport0" or "Port 0x378: simulated: <reason>".
    std::string Describe(std::uint16_t address);
    bool IsSimulated(std::uint16_t address);

  private:
    struct Device {
        int fd = -1;  // -1: simulated
        std::string description;
    };
    Device& Resolve(std::uint16_t address);
    Device Open(std::uint16_t address) const;
    std::string FindParport(std::uint16_t address) const;

    std::string procRoot_;
    std::string devRoot_;
    ClaimFunction claim_;
    std::map<std::uint16_t, Device> devices_;
};

}  // namespace tarvik
