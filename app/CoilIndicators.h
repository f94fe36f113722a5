// Four lamps showing the coil pattern last written to the port, D3 on the left.
#pragma once

#include <QWidget>
#include <cstdint>

namespace tarvik {

class CoilIndicators : public QWidget {
  public:
    explicit CoilIndicators(QWidget* parent) : QWidget(parent) {}
    void SetPattern(std::uint8_t pattern);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::uint8_t pattern_ = 0;
};

}  // namespace tarvik
