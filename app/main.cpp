// Tarvik: pans a camera mount with a stepper motor on the parallel port.
//
// With a display: the window, the tray and the hot keys around the station. Without one:
// the station alone under QCoreApplication; the motor and the web server run as ever.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Cam.h"
#include "ConfigCheck.h"
#include "ConsoleStream.h"
#include "CrashSwitchOff.h"
#include "GpioOutput.h"
#include "HotKeyChoice.h"
#include "ParallelPort.h"
#include "PortalHotKeys.h"
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

// Config and html beside the executable, as in a build tree or an unpacked copy. An
// installed tarvik in /usr/bin has none beside it and uses the installed default camera.
std::string DefaultBaseDir() {
    const std::string besideExecutable = ExecutableDir();
    std::error_code ignored;
    if (std::filesystem::is_directory(besideExecutable + tarvik::files::kConfig, ignored)) {
        return besideExecutable;
    }
    return TARVIK_DEFAULT_FOLDER;
}

struct Options {
    std::string baseDir = DefaultBaseDir();
    bool logRequests = false;
    bool check = false;
    bool requireCoils = false;
};

constexpr const char* kUsage =
    "Usage: tarvik [--config DIR] [--log-requests] [--require-coils] [--check]\n"
    "Pans a camera mount with a stepper motor on the parallel port or on GPIO lines.\n"
    "\n"
    "  --config DIR     use DIR/Config and DIR/html instead of the executable's folder\n"
    "                   (" TARVIK_DEFAULT_FOLDER
    " when that has no Config)\n"
    "  --log-requests   copy each line of the request log to standard output\n"
    "  --require-coils  stop start-up when the coils cannot be driven, instead of running\n"
    "                   on simulated coils (for a service); with --check, fail the check\n"
    "  --check          read and check every configuration file, say what would be driven\n"
    "                   and served, and exit (0: usable, 1: not) without touching anything\n"
    "  -h, --help       show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "With DIR/Config/Onvif.ini Tarvik also offers ONVIF PTZ services, so that NVRs and home\n"
    "automation can steer the mount (see man tarvik).\n";

// Qt's own options, which Qt takes out of the arguments when it starts; those in the first
// list take a value.
bool IsQtOption(const std::string& argument, bool& takesValue) {
    static const char* const withValue[] = {"-platform",
                                            "-platformpluginpath",
                                            "-platformtheme",
                                            "-plugin",
                                            "-qwindowgeometry",
                                            "-qwindowicon",
                                            "-qwindowtitle",
                                            "-style",
                                            "-stylesheet",
                                            "-session",
                                            "-display",
                                            "-name",
                                            "-title"};
    static const char* const alone[] = {"-reverse", "-nograb", "-dograb", "-sync", "-widgetcount"};
    for (const char* option : withValue) takesValue = takesValue || argument == option;
    if (takesValue) return true;
    for (const char* option : alone) {
        if (argument == option) return true;
    }
    return false;
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "tarvik: %s\n%s", why.c_str(), kUsage);
    return 1;
}

// Tarvik's options and Qt's; anything else is refused, as GNU tools do. Returns an exit
// status when Tarvik is to end at once, before it touches the port or the coils.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        bool takesValue = false;
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::puts("tarvik " TARVIK_VERSION);
            return 0;
        }
        if (argument == "--log-requests") {
            options.logRequests = true;
        } else if (argument == "--require-coils") {
            options.requireCoils = true;
        } else if (argument == "--check") {
            options.check = true;
        } else if (argument == "--config" || argument.starts_with("--config=")) {
            const bool separate = argument == "--config";
            if (separate && i + 1 >= argc) return Refuse("--config needs a folder");
            options.baseDir = std::filesystem::absolute(separate ? argv[++i] : argument.substr(9));
        } else if (IsQtOption(argument, takesValue)) {
            if (takesValue && i + 1 >= argc) return Refuse(argument + " needs a value");
            i += takesValue ? 1 : 0;
        } else {
            return Refuse("unknown option \"" + argument + "\"");
        }
    }
    return std::nullopt;
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

QtMessageHandler g_qtMessages = nullptr;

// Run as root (a service) or without a session, Qt says at every start that XDG_RUNTIME_DIR
// is unset or not the user's: nothing of Tarvik's lives there, and a journal's first lines
// should be Tarvik's own.
void QuietRuntimeDirNotes(QtMsgType type, const QMessageLogContext& context,
                          const QString& message) {
    if (message.startsWith("QStandardPaths: ")) return;
    g_qtMessages(type, context, message);
}

void PrepareProcess() {
    // Chat replies can be megabytes. Serving them from mmap returns the memory to the system
    // when the reply is gone; glibc's adaptive threshold would keep the heap at its peak.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // A write beyond the file size limit must fail like a full disk, and a write to a closed
    // pipe (a log reader gone) like any failed write: neither may end the program mid-move.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // A crash switches the coils off before the process ends.
    tarvik::crash::InstallHandlers();
    g_qtMessages = qInstallMessageHandler(QuietRuntimeDirNotes);
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
        settings.lptAddress, tarvik::LptReading(settings.lptText, settings.lptAddress));
}

bool IsWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && *display != '\0') ||
           (session != nullptr && std::string(session) == "wayland");
}

// X11 grabs on an X11 session, the desktop portal on Wayland, or a plain reason why not.
std::unique_ptr<tarvik::HotKeys> OpenHotKeys() {
    tarvik::DesktopSession session;
    session.qtPlatform = QGuiApplication::platformName().toStdString();
    session.waylandSession = IsWaylandSession();
    session.portalOffersShortcuts =
        session.waylandSession && tarvik::PortalHotKeys::Offered(QDBusConnection::sessionBus());
    const tarvik::HotKeyChoice choice = tarvik::ChooseHotKeys(session);
    switch (choice.backend) {
        case tarvik::HotKeyBackend::X11Grabs:
            return std::make_unique<tarvik::X11HotKeys>(choice.note);
        case tarvik::HotKeyBackend::Portal:
            return std::make_unique<tarvik::PortalHotKeys>();
        default:
            return std::make_unique<tarvik::NoHotKeys>(choice.note);
    }
}

bool CanShowDialogs() {
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

// Standard output (the request log) and standard error (the summary and the notices), both
// written without ever blocking the event loop.
struct Consoles {
    tarvik::ConsoleStream out{1};
    tarvik::ConsoleStream err{2};

    void Wire(tarvik::Station& station, bool logRequests) {
        station.SetSay([this](const std::string& line) { err.WriteLine("tarvik: " + line); });
        err.OnGone([&station](const std::string& why) {
            station.WindowNotice("Standard error is closed (" + why +
                                 "): notices are shown in the window only");
        });
        if (!logRequests) return;
        station.RequestLog().SetEcho([this](const std::string& line) { out.WriteLine(line); });
        out.SetDropNote([](std::uint64_t dropped) {
            return "tarvik: " + std::to_string(dropped) +
                   " request log lines were dropped while standard output was not read";
        });
        out.OnGone([this](const std::string& why) {
            err.WriteLine("tarvik: standard output is closed (" + why +
                          "): the request log is no longer copied there");
        });
    }
    // At exit: what the streams take within a moment, never a wait on a reader that is away.
    void Flush() {
        out.FlushWithin(std::chrono::milliseconds(500));
        err.FlushWithin(std::chrono::milliseconds(500));
    }
};

// Runs the station until the event loop ends; the exit status.
int Run(tarvik::Station& station, tarvik::Cam* window, Consoles& consoles) {
    // Taken over before the port answers, so that no early signal ends Tarvik unsaved; a
    // signal during start-up is handled once the event loop runs.
    tarvik::SignalBridge bridge([&station, window](int) {
        if (window != nullptr) window->close();
        station.Shutdown();
        QCoreApplication::quit();
    });
    if (const auto failure = station.Start()) {
        consoles.err.WriteLine("tarvik: cannot start: " + *failure);
        consoles.Flush();
        if (window != nullptr && CanShowDialogs()) {
            QMessageBox::critical(nullptr, "Tarvik v" TARVIK_VERSION,
                                  QString::fromStdString(*failure));
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
    consoles.Flush();
    // Exit status 2: Tarvik ran, but the position it stopped at is not on disk.
    return status != 0 ? status : station.LastSaveFailed() ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto status = ParseArguments(argc, argv, options)) return *status;
    if (options.check) return tarvik::CheckConfiguration(options.baseDir, options.requireCoils);
    PrepareProcess();
    tarvik::SystemClock clock;
    if (!HasDisplay()) {
        QCoreApplication app(argc, argv);
        Consoles consoles;
        tarvik::NoHotKeys noKeys("not available without a display");
        tarvik::Station station(options.baseDir, OpenCoils, noKeys, clock);
        if (options.requireCoils) station.RequireCoils();
        consoles.Wire(station, options.logRequests);
        return Run(station, nullptr, consoles);
    }
    QApplication app(argc, argv);
    app.setApplicationName("Tarvik");
    app.setQuitOnLastWindowClosed(false);
    Consoles consoles;
    const std::unique_ptr<tarvik::HotKeys> keys = OpenHotKeys();
    tarvik::Station station(options.baseDir, OpenCoils, *keys, clock);
    if (options.requireCoils) station.RequireCoils();
    consoles.Wire(station, options.logRequests);
    tarvik::Cam window(station);
    return Run(station, &window, consoles);
}
