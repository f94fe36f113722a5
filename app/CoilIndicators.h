// Four lamps showing the coil pattern last written to the port, D3 on the left.
#pragma once

#include <QWidget>
#include <cstdint>

#include "Platform.h"

namespace tarvik {

class CoilIndicators : public QWidget {
  public:
    explicit CoilIndicators(QWidget* parent) : QWidget(parent) {}
    void SetPattern(std::uint8_t pattern);
    std::uint8_t Pattern() const { return pattern_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::uint8_t pattern_ = 0;
};

// Passes every write on to the real port writer and shows the pattern on the lamps.
class PortMonitor : public PortWriter {
  public:
    PortMonitor(PortWriter& port, CoilIndicators& lamps) : port_(port), lamps_(lamps) {}
    void Out(std::uint16_t address, std::uint8_t value) override {
        port_.Out(address, value);
        lamps_.SetPattern(value);
    }

  private:
    PortWriter& port_;
    CoilIndicators& lamps_;
};

}  // namespace tarvik
