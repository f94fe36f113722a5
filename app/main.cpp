// Tarvik: pans a camera mount with a stepper motor on the parallel port.
//
// With a display: the window, the tray and the hot keys around the station. Without one:
// the station alone under QCoreApplication; the motor and the web server run as ever.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Cam.h"
#include "GpioOutput.h"
#include "ParallelPort.h"
#include "SignalBridge.h"
#include "Station.h"
#include "SystemClock.h"
#include "X11HotKeys.h"

namespace {

// The directory of the executable itself, links resolved: Config and html sit there.
std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string dir(path, static_cast<std::size_t>(length));
    return dir.substr(0, dir.rfind('/'));
}

bool HasDisplay() {
    return std::getenv("QT_QPA_PLATFORM") != nullptr || std::getenv("DISPLAY") != nullptr ||
           std::getenv("WAYLAND_DISPLAY") != nullptr;
}

// Many lingering connections need many descriptors; take what the system allows.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void PrepareProcess() {
    // Chat replies can be megabytes. Serving them from mmap returns the memory to the system
    // when the reply is gone; glibc's adaptive threshold would keep the heap at its peak.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // A write beyond the file size limit must fail like a full disk, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Qt's own poll-based loop adds and drops notifiers without GLib's extra wake-ups.
    ::setenv("QT_NO_GLIB", "1", 0);
    RaiseDescriptorLimit();
}

tarvik::Station* g_running = nullptr;

// When the display connection breaks (the X server ends, the session logs out), Qt ends
// the process with exit() from inside the event loop: no window closes, no handler runs.
// This runs on that way out, so the position is saved and the coils are switched off.
void SaveAndSwitchOffOnExit() {
    if (g_running != nullptr) g_running->SaveAndSwitchOff();
}

// The GPIO lines when Config/Gpio.ini names them, the parallel port otherwise.
std::unique_ptr<tarvik::CoilOutput> OpenCoils(const tarvik::DriveSettings& settings) {
    static tarvik::KernelGpioLines kernel;
    if (settings.gpio) return std::make_unique<tarvik::GpioOutput>(*settings.gpio, kernel);
    return std::make_unique<tarvik::ParallelPort>(
        static_cast<std::int32_t>(std::strtol(settings.LptAddress.c_str(), nullptr, 10)));
}

bool CanShowDialogs() {
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

// Runs the station until the event loop ends; the exit status.
int Run(tarvik::Station& station, tarvik::Cam* window) {
    // Taken over before the port answers, so that no early signal ends Tarvik unsaved; a
    // signal during start-up is handled once the event loop runs.
    tarvik::SignalBridge bridge([&station, window](int) {
        if (window != nullptr) window->close();
        station.Shutdown();
        QCoreApplication::quit();
    });
    if (const auto failure = station.Start()) {
        std::fprintf(stderr, "tarvik: cannot start: %s\n", failure->c_str());
        if (window != nullptr && CanShowDialogs()) {
            QMessageBox::critical(nullptr, "Tarvik v1.0", QString::fromStdString(*failure));
        }
        return 1;
    }
    if (window != nullptr) {
        window->Attach();
        window->show();
    }
    g_running = &station;
    std::atexit(SaveAndSwitchOffOnExit);
    const int status = QCoreApplication::exec();
    station.Shutdown();
    g_running = nullptr;
    // Exit status 2: Tarvik ran, but the position it stopped at is not on disk.
    return status != 0 ? status : station.LastSaveFailed() ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess();
    tarvik::SystemClock clock;
    if (!HasDisplay()) {
        QCoreApplication app(argc, argv);
        tarvik::NoHotKeys noKeys("not available without a display");
        tarvik::Station station(ExecutableDir(), OpenCoils, noKeys, clock);
        return Run(station, nullptr);
    }
    QApplication app(argc, argv);
    app.setApplicationName("Tarvik");
    app.setQuitOnLastWindowClosed(false);
    tarvik::X11HotKeys keys;
    tarvik::Station station(ExecutableDir(), OpenCoils, keys, clock);
    tarvik::Cam window(station);
    return Run(station, &window);
}
