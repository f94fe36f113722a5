// Tarvik: pans a camera mount with a stepper motor on the parallel port.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <climits>
#include <csignal>
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

// Qt's own poll-based event loop registers and drops socket notifiers without the extra
// wake-ups of the GLib one: a quarter more connections per second, and nothing here needs
// GLib's loop.
void UseQtEventLoop() {
    ::setenv("QT_NO_GLIB", "1", 0);
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

// Chat replies can be megabytes. Serving them from mmap returns the memory to the system
// when the reply is gone; glibc's adaptive threshold would keep the heap at its peak.
void ReturnLargeBuffersToTheSystem() {
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

// A write beyond the file size limit must fail like a full disk, not end the program.
void SurviveFileSizeLimit() {
    std::signal(SIGXFSZ, SIG_IGN);
}

namespace {

tarvik::Cam* g_running = nullptr;

// When the display connection breaks (the X server ends, the session logs out), Qt ends
// the process with exit() from inside the event loop: no window closes, no handler runs.
// This runs on that way out, so the position is saved and the coils are switched off.
void SaveAndSwitchOffOnExit() {
    if (g_running != nullptr) g_running->SaveAndSwitchOff();
}

}  // namespace

int main(int argc, char** argv) {
    ReturnLargeBuffersToTheSystem();
    SurviveFileSizeLimit();
    ChooseHeadlessWhenNoDisplay();
    UseQtEventLoop();
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
    app.setApplicationName("Tarvik");
    app.setQuitOnLastWindowClosed(false);

    tarvik::ParallelPort port;
    tarvik::Cam cam(ExecutableDir(), port, &port);
    // Taken over before the port answers, so that no early signal can end Tarvik unsaved;
    // a signal during start-up is handled once the event loop runs.
    tarvik::SignalBridge signalBridge([&cam](int) {
        cam.close();
        QApplication::quit();
    });
    if (const auto failure = cam.Form_Load()) {
        std::fprintf(stderr, "tarvik: cannot start: %s\n", failure->toLocal8Bit().constData());
        if (CanShowDialogs()) QMessageBox::critical(nullptr, "Tarvik v1.0", *failure);
        return 1;
    }
    cam.show();
    g_running = &cam;
    std::atexit(SaveAndSwitchOffOnExit);
    const int status = app.exec();
    g_running = nullptr;
    cam.Shutdown();
    // Exit status 2: Tarvik ran, but the position it stopped at is not on disk.
    return status != 0 ? status : cam.LastSaveFailed() ? 2 : 0;
}
