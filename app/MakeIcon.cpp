// Writes Tarvik's icon as a PNG of the given size (32 px unless told), for the desktop entry.
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "Artwork.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const int size = argc == 3 ? std::atoi(argv[2]) : 32;
    if (argc < 2 || argc > 3 || size < 16 || size > 512 ||
        !tarvik::IconPixmap(size).save(argv[1], "PNG")) {
        std::fprintf(stderr, "usage: make_icon FILE.png [SIZE from 16 to 512]\n");
        return 1;
    }
    return 0;
}
