// Writes Tarvik's 48 px icon as a PNG, for the desktop entry's hicolor theme.
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "Artwork.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    if (argc != 2 || !tarvik::IconPixmap(48).save(argv[1], "PNG")) {
        std::fprintf(stderr, "usage: make_icon FILE.png\n");
        return 1;
    }
    return 0;
}
