// The coils are switched off when Tarvik crashes, too. On SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT a handler, on a stack of its own (an overflowed stack leaves none), writes the
// switch-off to every coil device that is open, one ioctl each, and lets the signal end the
// process with its own status. Only async-signal-safe calls are made there.
//
// No step may follow the switch-off: every ordinary coil write passes a gate, which a crash
// shuts for good, and the handler first waits (at most 50 ms) for a write already past it.
//
//   step thread:  CoilWriteGate ─ open? ─► ioctl(step) ─► leave
//   crash:        shut the gate ─► wait for writes in flight ─► ioctl(off) on every device
#pragma once

#include <cstddef>

namespace tarvik::crash {

// While a coil device is open: the raw write that switches its coils off, ioctl(fd, request,
// argument). The slot to give back before the descriptor closes, or -1 when every slot is
// taken. Called from the event loop's thread only.
int RegisterOffWrite(int fd, unsigned long request, const void* argument, std::size_t size);
void UnregisterOffWrite(int slot);

// Installs the handlers, with an alternate stack for the calling thread. Once.
void InstallHandlers();

// An alternate signal stack for the thread that makes it, given back when it goes: the step
// thread may crash too.
class AlternateSignalStack {
  public:
    AlternateSignalStack();
    ~AlternateSignalStack();
    AlternateSignalStack(const AlternateSignalStack&) = delete;
    AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

  private:
    char* memory_ = nullptr;
};

// Held around each ordinary coil write; Open() is false once a crash has begun.
class CoilWriteGate {
  public:
    CoilWriteGate();
    ~CoilWriteGate();
    CoilWriteGate(const CoilWriteGate&) = delete;
    CoilWriteGate& operator=(const CoilWriteGate&) = delete;
    bool Open() const { return open_; }

  private:
    bool open_;
};

}  // namespace tarvik::crash
