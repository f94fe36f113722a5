// Tarvik's window icon and its own mouse pointer, drawn at 32 by 32.
#pragma once

#include <QCursor>
#include <QIcon>
#include <QPixmap>

namespace tarvik {

QPixmap IconPixmap();
QIcon TarvikIcon();
QCursor TarvikPointer();

}  // namespace tarvik
