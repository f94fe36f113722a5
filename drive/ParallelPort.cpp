#include "ParallelPort.h"
#include "CrashSwitchOff.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace tarvik {
namespace {

std::string HexAddress(std::uint16_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "Port 0x%X: ", address);
    return text;
}

// The first number in a parport's base-addr file, or -1.
long BaseAddressOf(const std::string& file) {
    std::ifstream in(file);
    long base = -1;
    if (!(in >> base)) return -1;
    return base;
}

// The parport whose base address is `address`, such as "parport0", or empty.
std::string FindParportIn(const std::string& procRoot, std::uint16_t address) {
    std::string name;
    DIR* dir = ::opendir(procRoot.c_str());
    if (dir == nullptr) return name;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string candidate = entry->d_name;
        if (!candidate.starts_with("parport")) continue;
        if (BaseAddressOf(procRoot + "/" + candidate + "/base-addr") == address) {
            name = candidate;
            break;
        }
    }
    ::closedir(dir);
    return name;
}

void Interrupted(int) {}

// Runs `claim` with a limit: a port held by another program must not hang start-up. The
// claim waits interruptibly, so a timer signal aimed at this thread (other threads must not
// take it) ends the wait; it repeats, in case the first one came before the wait began.
// Returns 0, or -1 with errno (EINTR once the limit has passed).
int ClaimWithin(const std::function<int(int)>& claim, int fd, std::chrono::milliseconds limit) {
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = Interrupted;  // no SA_RESTART: the claim must return
    sigemptyset(&quiet.sa_mask);
    ::sigaction(SIGALRM, &quiet, &saved);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));  // sigev_notify_thread_id
    timer_t timer{};
    const bool timed = ::timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        const itimerspec every100ms{{0, 100'000'000}, {0, 100'000'000}};
        ::timer_settime(timer, 0, &every100ms, nullptr);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int result = 0;
    do {
        result = claim(fd);
    } while (result != 0 && errno == EINTR && std::chrono::steady_clock::now() < deadline);
    const int error = errno;
    if (timed) ::timer_delete(timer);
    ::sigaction(SIGALRM, &saved, nullptr);
    errno = error;
    return result;
}

}  // namespace

ParallelPort::ParallelPort(std::int32_t address, std::string reading, std::string procRoot,
                           std::string devRoot, DriverCalls calls)
    : address_(address),
      reading_(std::move(reading)),
      procRoot_(std::move(procRoot)),
      devRoot_(std::move(devRoot)),
      calls_(std::move(calls)) {
    if (!calls_.claim) calls_.claim = [](int fd) { return ::ioctl(fd, PPCLAIM); };
    if (!calls_.write) {
        calls_.write = [](int fd, std::uint8_t value) {
            unsigned char data = value;
            ::ioctl(fd, PPWDATA, &data);
        };
    }
    if (address_ >= 0 && address_ <= 0xFFFF) Resolve(static_cast<std::uint16_t>(address_));
}

ParallelPort::~ParallelPort() {
    for (auto& [address, device] : devices_) {
        if (device.fd < 0) continue;
        crash::UnregisterOffWrite(device.offSlot);
        ::ioctl(device.fd, PPRELEASE);
        ::close(device.fd);
    }
}

bool ParallelPort::Simulated() const {
    const auto found = devices_.find(static_cast<std::uint16_t>(address_));
    return address_ < 0 || address_ > 0xFFFF || found == devices_.end() || found->second.fd < 0;
}

std::string ParallelPort::Describe() const {
    if (address_ < 0 || address_ > 0xFFFF) {
        return "Port address " + std::to_string(address_) +
               " needs more than 16 bits: nothing is written";
    }
    const std::string& description = devices_.at(static_cast<std::uint16_t>(address_)).description;
    return reading_.empty() || address_ == 0 ? description : description + " (" + reading_ + ")";
}

void ParallelPort::Write(std::uint8_t pattern) {
    if (address_ >= 0 && address_ <= 0xFFFF) Out(static_cast<std::uint16_t>(address_), pattern);
}

void ParallelPort::SwitchOff() {
    Write(0);
    if (address_ != kShutdownPortAddress) Out(kShutdownPortAddress, 0);
}

void ParallelPort::Out(std::uint16_t address, std::uint8_t value) {
    const Device& device = Resolve(address);
    if (device.fd >= 0) calls_.write(device.fd, value);
}

ParallelPort::Device& ParallelPort::Resolve(std::uint16_t address) {
    auto found = devices_.find(address);
    if (found == devices_.end()) found = devices_.emplace(address, Open(address)).first;
    return found->second;
}

std::string ParallelPort::FindParport(std::uint16_t address) const {
    return FindParportIn(procRoot_, address);
}

PortLocation LocateParallelPort(std::int32_t address, const std::string& reading,
                                const std::string& procRoot) {
    if (address < 0 || address > 0xFFFF) {
        return {false, "Port address " + std::to_string(address) + " needs more than 16 bits"};
    }
    const std::string prefix = HexAddress(static_cast<std::uint16_t>(address));
    if (address == 0) {
        return {false, prefix + (reading.empty() ? "no port address configured" : reading)};
    }
    const std::string name = FindParportIn(procRoot, static_cast<std::uint16_t>(address));
    return {!name.empty(),
            prefix + (name.empty() ? "no parallel port at this address" : "/dev/" + name) +
                (reading.empty() ? "" : " (" + reading + ")")};
}

ParallelPort::Device ParallelPort::Open(std::uint16_t address) const {
    const std::string prefix = HexAddress(address);
    if (address == 0) {
        return {-1, prefix + "simulated: " +
                        (reading_.empty() ? "no port address configured" : reading_)};
    }
    const std::string name = FindParport(address);
    if (name.empty()) return {-1, prefix + "simulated: no parallel port at this address"};
    const std::string path = devRoot_ + "/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return {-1, prefix + "simulated: cannot open " + path + ": " + std::strerror(errno) +
                        (errno == EACCES ? " (is the user in group lp?)" : "")};
    }
    if (ClaimWithin(calls_.claim, fd, std::chrono::seconds(1)) != 0) {
        const std::string reason =
            errno == EINTR ? "in use by another program" : std::string(std::strerror(errno));
        ::close(fd);
        return {-1, prefix + "simulated: cannot claim " + path + ": " + reason};
    }
    const unsigned char off = 0;
    return {fd, prefix + path, crash::RegisterOffWrite(fd, PPWDATA, &off, sizeof off)};
}

}  // namespace tarvik
