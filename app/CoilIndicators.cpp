#include "CoilIndicators.h"

#include <QPainter>

namespace tarvik {

CoilIndicators::CoilIndicators(QWidget* parent, QString motor, int firstLine)
    : QWidget(parent), motor_(std::move(motor)), firstLine_(firstLine) {
    Describe();
}

void CoilIndicators::SetPattern(std::uint8_t pattern) {
    if (pattern == pattern_) return;
    pattern_ = pattern;
    Describe();
    update();
}

// "Pan coils D0-D3: D1 D2 on", "Tilt coils D4-D7: all off"
void CoilIndicators::Describe() {
    QString on;
    for (int bit = 0; bit < 4; ++bit) {
        if ((pattern_ >> bit) & 1) on += QString(" D%1").arg(firstLine_ + bit);
    }
    setAccessibleName(QString("%1 coils D%2-D%3: %4")
                          .arg(motor_)
                          .arg(firstLine_)
                          .arg(firstLine_ + 3)
                          .arg(on.isEmpty() ? QString("all off") : on.mid(1) + " on"));
}

void CoilIndicators::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int size = height() - 4;
    for (int bit = 3; bit >= 0; --bit) {
        const bool on = (pattern_ >> bit) & 1;
        const int x = 2 + (3 - bit) * (size + 4);
        painter.setPen(Qt::darkGray);
        painter.setBrush(on ? QColor(230, 40, 30) : QColor(70, 30, 30));
        painter.drawEllipse(x, 2, size, size);
    }
}

}  // namespace tarvik
