#include "Artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace tarvik {

// A camera on a pan mount, with the pan arc above it.
QPixmap IconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(30, 30, 40), 1.5));
    p.setBrush(QColor(60, 110, 180));
    p.drawRoundedRect(QRectF(5, 11, 17, 11), 2, 2);                      // body
    p.drawPolygon(QPolygonF({{22, 14}, {29, 11}, {29, 22}, {22, 19}}));  // lens hood
    p.setBrush(QColor(200, 60, 40));
    p.drawEllipse(QRectF(9, 13.5, 6, 6));  // lens
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(12, 22, 3, 5));  // post
    p.drawRect(QRectF(7, 27, 13, 3));  // base
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(200, 60, 40), 1.5));
    p.drawArc(QRectF(3, 2, 22, 14), 30 * 16, 120 * 16);  // pan arc
    return pixmap;
}

QIcon TarvikIcon() {
    return QIcon(IconPixmap());
}

// A crosshair with a hollow centre, hot spot in the middle.
QCursor TarvikPointer() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    for (const auto& [color, width] :
         {std::pair{QColor(Qt::white), 3.0}, {QColor(Qt::black), 1.2}}) {
        p.setPen(QPen(color, width));
        p.drawEllipse(QRectF(9, 9, 14, 14));
        p.drawLine(QPointF(16, 1), QPointF(16, 11));
        p.drawLine(QPointF(16, 21), QPointF(16, 31));
        p.drawLine(QPointF(1, 16), QPointF(11, 16));
        p.drawLine(QPointF(21, 16), QPointF(31, 16));
    }
    return QCursor(pixmap, 16, 16);
}

}  // namespace tarvik
