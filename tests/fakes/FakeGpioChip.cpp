// A GPIO chip that is not there. Preloaded (LD_PRELOAD) for tests of the real binary, or
// linked into a test executable, it answers the kernel calls made on the chip path
// /dev/fake-gpiochip as the kernel would, and appends what the lines are given to the file
// FAKE_GPIO_LOG (or the descriptor FakeGpioChipLogTo names), one line each, numbers in hex:
//   request tarvik 4 5 6 7 flags 8 values 0/f   consumer, line offsets, the request's flags,
//                                                the values it starts at and their mask
//   set 9/f                                      the lines were set: the bits and the mask
//                                                as the kernel takes them, on the request's
//                                                lines only
// The chip has 32 lines; line 13 is in use by another consumer ("other"). Every other
// descriptor and call goes to the C library. What is written from a signal handler passes
// here too, so only async-signal-safe calls are made on the way.
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
constexpr std::uint32_t kChipLines = 32;
constexpr std::uint32_t kLineInUse = 13;
constexpr int kMostDescriptors = 4096;

enum Kind : int { kOther = 0, kChip = 1, kLines = 2 };
std::atomic<int> g_kind[kMostDescriptors];
std::atomic<std::uint32_t> g_lineCount[kMostDescriptors];  // of each request's descriptor
std::atomic<int> g_log{-1};

using OpenFn = int (*)(const char*, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
OpenFn g_open = nullptr;
IoctlFn g_ioctl = nullptr;
CloseFn g_close = nullptr;

// Also on the first call: linked into an executable, a library's initialiser may open a
// file before this file's initialiser has run.
__attribute__((constructor)) void Resolve() {
    if (g_open != nullptr) return;
    g_open = reinterpret_cast<OpenFn>(::dlsym(RTLD_NEXT, "open"));
    g_ioctl = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    g_close = reinterpret_cast<CloseFn>(::dlsym(RTLD_NEXT, "close"));
    if (const char* log = std::getenv("FAKE_GPIO_LOG")) {
        g_log = g_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
}

// One line of the record, built without the allocator.
class LogLine {
  public:
    LogLine& Text(const char* text, std::size_t most = sizeof line_) {
        for (std::size_t i = 0; i < most && text[i] != '\0' && at_ < sizeof line_ - 1; ++i) {
            line_[at_++] = text[i];
        }
        return *this;
    }
    LogLine& Number(unsigned long long value, unsigned base = 16) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0 && at_ < sizeof line_ - 1) line_[at_++] = digits[--count];
        return *this;
    }
    ~LogLine() {
        line_[at_++] = '\n';
        if (g_log >= 0) (void)::write(g_log, line_, at_);
    }

  private:
    char line_[1024];
    std::size_t at_ = 0;
};

bool Is(int fd, Kind kind) {
    return fd >= 0 && fd < kMostDescriptors && g_kind[fd].load() == kind;
}

int OpenAs(Kind kind, int flags) {
    const int fd = g_open("/dev/null", (flags & O_CLOEXEC) | O_RDWR);
    if (fd >= 0 && fd < kMostDescriptors) g_kind[fd].store(kind);
    return fd;
}

int Open(const char* path, int flags, va_list rest) {
    Resolve();
    if (std::strcmp(path, kChipPath) == 0) return OpenAs(kChip, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    return g_open(path, flags, mode);
}

int RequestLines(gpio_v2_line_request& request) {
    for (std::uint32_t i = 0; i < request.num_lines; ++i) {
        if (request.offsets[i] == kLineInUse) return errno = EBUSY, -1;
    }
    request.fd = OpenAs(kLines, O_CLOEXEC);
    if (request.fd >= 0 && request.fd < kMostDescriptors)
        g_lineCount[request.fd] = request.num_lines;
    LogLine line;
    line.Text("request ").Text(request.consumer, sizeof request.consumer);
    for (std::uint32_t i = 0; i < request.num_lines; ++i)
        line.Text(" ").Number(request.offsets[i], 10);
    line.Text(" flags ").Number(request.config.flags);
    for (std::uint32_t i = 0; i < request.config.num_attrs; ++i) {
        const gpio_v2_line_config_attribute& attribute = request.config.attrs[i];
        if (attribute.attr.id != GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES) continue;
        line.Text(" values ").Number(attribute.attr.values).Text("/").Number(attribute.mask);
    }
    return 0;
}

int ChipInfo(gpiochip_info& info) {
    info = {};
    std::strcpy(info.name, "fake-gpiochip");
    std::strcpy(info.label, "fake");
    info.lines = kChipLines;
    return 0;
}

int LineInfo(gpio_v2_line_info& info) {
    if (info.offset >= kChipLines) return errno = EINVAL, -1;
    const std::uint32_t offset = info.offset;
    info = {};
    info.offset = offset;
    if (offset == kLineInUse) {
        info.flags = GPIO_V2_LINE_FLAG_USED;
        std::strcpy(info.consumer, "other");
    }
    return 0;
}

}  // namespace

extern "C" {

// For a test executable that links this file: the record goes to `fd` from now on (-1: none).
void FakeGpioChipLogTo(int fd) {
    Resolve();
    g_log = fd;
}

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
    Resolve();
    if (Is(fd, kChip) && request == GPIO_V2_GET_LINE_IOCTL) {
        return RequestLines(*static_cast<gpio_v2_line_request*>(argument));
    }
    if (Is(fd, kChip) && request == GPIO_GET_CHIPINFO_IOCTL) {
        return ChipInfo(*static_cast<gpiochip_info*>(argument));
    }
    if (Is(fd, kChip) && request == GPIO_V2_GET_LINEINFO_IOCTL) {
        return LineInfo(*static_cast<gpio_v2_line_info*>(argument));
    }
    if (Is(fd, kLines) && request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        const auto& values = *static_cast<const gpio_v2_line_values*>(argument);
        const std::uint32_t count = g_lineCount[fd];
        const std::uint64_t mask = values.mask & (count >= 64 ? ~0ull : (1ull << count) - 1);
        LogLine().Text("set ").Number(values.bits & mask).Text("/").Number(mask);
        return 0;
    }
    return g_ioctl(fd, request, argument);
}

int close(int fd) {
    Resolve();
    if (fd >= 0 && fd < kMostDescriptors) g_kind[fd].store(kOther);
    return g_close(fd);
}

}  // extern "C"
