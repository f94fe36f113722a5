// Where the coil byte goes: each axis's four coil bits at its data lines (pan D0..D3, tilt
// D4..D7). Only a driver touches the hardware: the parallel port, GPIO lines, or a simulated
// output where there is none.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "CrashSwitchOff.h"

namespace tarvik {

class CoilOutput {
  public:
    virtual ~CoilOutput() = default;
    // One coil byte, every axis's pattern at its data lines.
    virtual void Write(std::uint8_t pattern) = 0;
    // All coils off, wherever they may be energised.
    virtual void SwitchOff() = 0;
    // For the window: the device written to, or "simulated" and why.
    virtual std::string Describe() const = 0;
    // Whether the patterns reach no hardware: configured, but not to be had.
    virtual bool Simulated() const { return false; }
};

// The output the motor writes to, attached once the configuration says which it is (before
// the first write). Passes every pattern on and remembers the last one for the coil lamps,
// which read it from another thread. Once a crash has switched the coils off, nothing more
// is written.
class WatchedCoils : public CoilOutput {
  public:
    void Attach(std::unique_ptr<CoilOutput> output) { output_ = std::move(output); }
    void Write(std::uint8_t pattern) override {
        const crash::CoilWriteGate gate;
        if (!gate.Open()) return;
        if (output_) output_->Write(pattern);
        last_.store(pattern, std::memory_order_relaxed);
    }
    void SwitchOff() override {
        const crash::CoilWriteGate gate;
        if (!gate.Open()) return;
        if (output_) output_->SwitchOff();
        last_.store(0, std::memory_order_relaxed);
    }
    std::string Describe() const override { return output_ ? output_->Describe() : ""; }
    bool Simulated() const override { return !output_ || output_->Simulated(); }
    std::uint8_t LastPattern() const { return last_.load(std::memory_order_relaxed); }

  private:
    std::unique_ptr<CoilOutput> output_;
    std::atomic<std::uint8_t> last_{0};
};

}  // namespace tarvik
