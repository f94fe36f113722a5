// Four lamps showing the coil pattern last written to the port, the highest line on the left,
// and the same said in words for a screen reader.
#pragma once

#include <QWidget>
#include <cstdint>

namespace tarvik {

class CoilIndicators : public QWidget {
  public:
    // `motor`: "Pan" or "Tilt"; `firstLine`: the data line of bit 0 (0 for D0-D3, 4 for D4-D7).
    CoilIndicators(QWidget* parent, QString motor, int firstLine);
    void SetPattern(std::uint8_t pattern);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Describe();

    QString motor_;
    int firstLine_;
    std::uint8_t pattern_ = 0;
};

}  // namespace tarvik
