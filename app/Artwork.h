// Tarvik's window icon and its own mouse pointer, drawn at 32 by 32.
#pragma once

#include <QCursor>
#include <QIcon>
#include <QPixmap>

namespace tarvik {

// Drawn on a 32 px grid and scaled to `size`.
QPixmap IconPixmap(int size = 32);
QIcon TarvikIcon();
QCursor TarvikPointer();

}  // namespace tarvik
