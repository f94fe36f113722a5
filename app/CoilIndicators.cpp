#include "CoilIndicators.h"

#include <QPainter>

namespace tarvik {

void CoilIndicators::SetPattern(std::uint8_t pattern) {
    if (pattern == pattern_) return;
    pattern_ = pattern;
    update();
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
