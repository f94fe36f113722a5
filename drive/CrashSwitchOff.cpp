#include "CrashSwitchOff.h"

#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace tarvik::crash {
namespace {

constexpr int kSlots = 8;
constexpr std::size_t kLargestArgument = 64;
constexpr long kLongestWaitNs = 50'000'000;
constexpr std::size_t kStackBytes = 64 * 1024;
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

struct Slot {
    std::atomic<bool> taken{false};
    std::atomic<int> fd{-1};  // published last: the handler reads request and argument after it
    unsigned long request = 0;
    alignas(8) unsigned char argument[kLargestArgument] = {};
};

Slot g_slots[kSlots];
std::atomic<bool> g_crashing{false};
std::atomic<bool> g_switchedOff{false};
std::atomic<int> g_writesInFlight{0};

long NanosecondsSince(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec);
}

// Spins (yielding) until `done` or the longest wait has passed.
template <typename Done>
void WaitBriefly(Done done) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (!done() && NanosecondsSince(start) < kLongestWaitNs) ::sched_yield();
}

void SwitchEverythingOff() {
    WaitBriefly([] { return g_writesInFlight.load() == 0; });
    for (Slot& slot : g_slots) {
        const int fd = slot.fd.load(std::memory_order_acquire);
        if (fd >= 0) ::ioctl(fd, slot.request, slot.argument);
    }
    g_switchedOff.store(true);
}

void OnCrash(int signal) {
    const int savedErrno = errno;
    if (!g_crashing.exchange(true)) {
        SwitchEverythingOff();
    } else {
        WaitBriefly([] { return g_switchedOff.load(); });  // another thread is switching off
    }
    // The signal's own end: its default action, taken as soon as this handler returns (a fault
    // comes again; a signal sent from outside is raised again, blocked until then).
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigaction(signal, &standard, nullptr);
    ::raise(signal);
    errno = savedErrno;
}

}  // namespace

int RegisterOffWrite(int fd, unsigned long request, const void* argument, std::size_t size) {
    if (fd < 0 || size > kLargestArgument) return -1;
    for (int i = 0; i < kSlots; ++i) {
        Slot& slot = g_slots[i];
        if (slot.taken.exchange(true)) continue;
        slot.request = request;
        std::memset(slot.argument, 0, sizeof slot.argument);
        std::memcpy(slot.argument, argument, size);
        slot.fd.store(fd, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterOffWrite(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    g_slots[slot].fd.store(-1, std::memory_order_release);
    g_slots[slot].taken.store(false);
}

void InstallHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    static AlternateSignalStack mainThreadStack;
    struct sigaction action {};
    action.sa_handler = OnCrash;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kCrashSignals) sigaddset(&action.sa_mask, signal);
    for (int signal : kCrashSignals) ::sigaction(signal, &action, nullptr);
}

AlternateSignalStack::AlternateSignalStack() : memory_(new char[kStackBytes]) {
    stack_t stack{};
    stack.ss_sp = memory_;
    stack.ss_size = kStackBytes;
    ::sigaltstack(&stack, nullptr);
}

AlternateSignalStack::~AlternateSignalStack() {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    delete[] memory_;
}

CoilWriteGate::CoilWriteGate() {
    g_writesInFlight.fetch_add(1);
    open_ = !g_crashing.load();
}

CoilWriteGate::~CoilWriteGate() {
    g_writesInFlight.fetch_sub(1);
}

}  // namespace tarvik::crash
