// Four lamps showing the coil pattern last written to the port, D3 on the left.
#pragma once

#include <QWidget>
#include <cstdint>

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

}  // namespace tarvik
