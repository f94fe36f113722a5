// A GPIO chip that is not there, for tests of the real binary. Preloaded (LD_PRELOAD), it
// answers the kernel calls Tarvik makes on the chip path /dev/fake-gpiochip as the kernel
// would, and appends every value the lines are given to the file FAKE_GPIO_LOG, one line each:
//   request 0     the lines were requested, starting at these values (hexadecimal)
//   set 9         the lines were set to these values
// The chip has 32 lines; line 13 is in use by another consumer ("other"). Every other
// descriptor and call goes to the C library. What is written from a signal
// handler passes here too, so only async-signal-safe calls are made on the way.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kChipPath = "/dev/fake-gpiochip";
constexpr int kMostDescriptors = 4096;

enum Kind : int { kOther = 0, kChip = 1, kLines = 2 };
std::atomic<int> g_kind[kMostDescriptors];
int g_log = -1;

using OpenFn = int (*)(const char*, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
OpenFn g_open = nullptr;
IoctlFn g_ioctl = nullptr;
CloseFn g_close = nullptr;

__attribute__((constructor)) void Resolve() {
    g_open = reinterpret_cast<OpenFn>(::dlsym(RTLD_NEXT, "open"));
    g_ioctl = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    g_close = reinterpret_cast<CloseFn>(::dlsym(RTLD_NEXT, "close"));
    if (const char* log = std::getenv("FAKE_GPIO_LOG")) {
        g_log = g_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
}

void Log(const char* what, unsigned long long value) {
    char line[64];
    std::size_t at = 0;
    for (const char* c = what; *c != '\0'; ++c) line[at++] = *c;
    line[at++] = ' ';
    char digits[20];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count > 0) line[at++] = digits[--count];
    line[at++] = '\n';
    if (g_log >= 0) (void)::write(g_log, line, at);
}

bool Is(int fd, Kind kind) {
    return fd >= 0 && fd < kMostDescriptors && g_kind[fd].load() == kind;
}

int OpenAs(Kind kind, int flags) {
    const int fd = g_open("/dev/null", (flags & O_CLOEXEC) | O_RDWR);
    if (fd >= 0 && fd < kMostDescriptors) g_kind[fd].store(kind);
    return fd;
}

int Open(const char* path, int flags, va_list rest) {
    if (std::strcmp(path, kChipPath) == 0) return OpenAs(kChip, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    return g_open(path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = Open(path, flags, rest);
    va_end(rest);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = Open(path, flags, rest);
    va_end(rest);
    return fd;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (Is(fd, kChip) && request == GPIO_V2_GET_LINE_IOCTL) {
        auto* lines = static_cast<gpio_v2_line_request*>(argument);
        lines->fd = OpenAs(kLines, O_CLOEXEC);
        Log("request", lines->config.attrs[0].attr.values);
        return 0;
    }
    if (Is(fd, kChip) && request == GPIO_GET_CHIPINFO_IOCTL) {
        auto* info = static_cast<gpiochip_info*>(argument);
        *info = {};
        std::strcpy(info->name, "fake-gpiochip");
        std::strcpy(info->label, "fake");
        info->lines = 32;
        return 0;
    }
    if (Is(fd, kChip) && request == GPIO_V2_GET_LINEINFO_IOCTL) {
        auto* info = static_cast<gpio_v2_line_info*>(argument);
        if (info->offset >= 32) return errno = EINVAL, -1;
        const std::uint32_t offset = info->offset;
        *info = {};
        info->offset = offset;
        if (offset == 13) {
            info->flags = GPIO_V2_LINE_FLAG_USED;
            std::strcpy(info->consumer, "other");
        }
        return 0;
    }
    if (Is(fd, kLines) && request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        const auto* values = static_cast<const gpio_v2_line_values*>(argument);
        Log("set", values->bits & values->mask);
        return 0;
    }
    return g_ioctl(fd, request, argument);
}

int close(int fd) {
    if (fd >= 0 && fd < kMostDescriptors) g_kind[fd].store(kOther);
    return g_close(fd);
}

}  // extern "C"
