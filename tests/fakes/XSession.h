// A private X server (Xvfb) with a window manager and a tray host, for tests of what only a
// real desktop shows: system-wide keys, the tray, minimising.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>
#include <memory>
#include <vector>

namespace tarvik::test {

class XSession {
  public:
    XSession() {
        // Xvfb picks a free display itself and prints its number once it accepts clients.
        QProcess* server = Start(
            "Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, false);
        for (int waited = 0; waited < 20000 && display_.isEmpty(); waited += 25) {
            server->waitForReadyRead(25);
            const QString number = QString::fromLatin1(server->readAllStandardOutput()).trimmed();
            if (!number.isEmpty()) display_ = ":" + number;
            if (server->state() == QProcess::NotRunning) break;
        }
        if (display_.isEmpty()) return;
        Start("openbox", {});
        // The tray host is ready once the tray selection has an owner. Started too early it
        // may give up (its window manager not yet there): then it is started again.
        const QStringList tray = {"--edge",  "top", "--align",      "right", "--widthtype", "pixel",
                                  "--width", "200", "--heighttype", "pixel", "--height",    "32"};
        QProcess* trayer = Start("trayer", tray);
        // Without an event loop QProcess learns of an exit only while it waits for one.
        for (int i = 0; i < 800 && !(trayReady_ = TrayReady()); ++i) {
            if (trayer->waitForFinished(25) || trayer->state() == QProcess::NotRunning) {
                trayer = Start("trayer", tray);
            }
        }
    }
    ~XSession() {
        // Terminated, not killed: Xvfb removes its lock and socket files on the way out.
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            (*it)->terminate();
            if (!(*it)->waitForFinished(5000)) (*it)->kill();
        }
    }

    bool ok() const { return !display_.isEmpty(); }
    // Whether the tray host came up; on a loaded machine it sometimes does not.
    bool trayReady() const { return trayReady_; }

    // Ends the X server under its clients, as a crash or a logout would.
    void KillServer() {
        processes_.front()->terminate();
        processes_.front()->waitForFinished(5000);
    }
    const QString& display() const { return display_; }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display_);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("XDG_SESSION_TYPE", "x11");
        env.insert("WAYLAND_DISPLAY", "");  // as some session managers leave it: no Wayland
        return env;
    }

    // Runs an X client to its end; returns its standard output.
    QString Run(const QString& program, const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start(program, arguments);
        process.waitForFinished(20000);
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }

    // Starts an X client that runs on until the session ends.
    QProcess* Start(const QString& program, const QStringList& arguments, bool onDisplay = true) {
        processes_.push_back(std::make_unique<QProcess>());
        QProcess* process = processes_.back().get();
        if (onDisplay) process->setProcessEnvironment(Environment());
        process->start(program, arguments);
        process->waitForStarted(10000);
        return process;
    }

    // Visible windows whose name matches the regular expression.
    QStringList VisibleWindows(const QString& name) const {
        const QString out = Run("xdotool", {"search", "--onlyvisible", "--name", name});
        return out.isEmpty() ? QStringList{} : out.split('\n');
    }
    QStringList VisibleWindowsOfClass(const QString& className) const {
        const QString out = Run("xdotool", {"search", "--onlyvisible", "--classname", className});
        return out.isEmpty() ? QStringList{} : out.split('\n');
    }

    // Waits (generously) for a condition; returns whether it held.
    template <typename Condition>
    static bool WaitFor(Condition condition, int limitMs = 20000) {
        return QTest::qWaitFor(condition, limitMs);
    }

  private:
    bool TrayReady() const {
        return Run("xdotool", {"search", "--classname", "trayer"}).size() > 0 &&
               Run("xwininfo", {"-root", "-tree"}).contains("\"panel\"");
    }

    QString display_;
    bool trayReady_ = false;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

}  // namespace tarvik::test
