// Tarvik: pans a camera mount with a stepper motor on the parallel port.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Cam.h"
#include "ParallelPort.h"
#include "SignalBridge.h"

namespace {

// The directory of the executable itself, links resolved: Config and html sit there.
std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string dir(path, static_cast<std::size_t>(length));
    return dir.substr(0, dir.rfind('/'));
}

// Without a display the motor and the web server still run, with an invisible window.
void ChooseHeadlessWhenNoDisplay() {
    if (std::getenv("QT_QPA_PLATFORM") != nullptr) return;
    if (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// Many lingering connections need many descriptors; take what the system allows.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool CanShowDialogs() {
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

}  // namespace

int main(int argc, char** argv) {
    ChooseHeadlessWhenNoDisplay();
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
    app.setApplicationName("Tarvik");
    app.setQuitOnLastWindowClosed(false);

    tarvik::ParallelPort port;
    tarvik::Cam cam(ExecutableDir(), port, &port);
    if (const auto failure = cam.Form_Load()) {
        std::fprintf(stderr, "tarvik: cannot start: %s\n", failure->toLocal8Bit().constData());
        if (CanShowDialogs()) QMessageBox::critical(nullptr, "Tarvik v1.0", *failure);
        return 1;
    }
    tarvik::SignalBridge signalBridge([&cam](int) {
        cam.close();
        QApplication::quit();
    });
    cam.show();
    return app.exec();
}
