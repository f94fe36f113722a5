// The real tarvik binary, copied into a temporary directory beside a valid Config and html.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "TcpClient.h"
#include "TempDir.h"

namespace tarvik::test {

// The environment of a headless start.
inline QProcessEnvironment Headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

class TarvikProcess {
  public:
    TarvikProcess() : port(FreePort()) {
        std::filesystem::copy_file(TARVIK_BINARY, dir.path() + "/tarvik");
        dir.WriteConfig({{"/Config/Port.ini", std::to_string(port) + "\r\n"}});
        dir.WritePages();
    }
    ~TarvikProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Starts tarvik; returns once its port answers, or false when it has exited.
    bool Launch(const QProcessEnvironment& env = Headless()) {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(QString::fromStdString(dir.path()));
        const QString binary = QString::fromStdString(dir.path() + "/tarvik");
        if (wrapper.isEmpty()) {
            process.start(binary, {});
        } else {
            process.start(wrapper.front(), wrapper.mid(1) << binary);
        }
        if (!process.waitForStarted(10000)) return false;
        for (int attempt = 0; attempt < 400; ++attempt) {
            if (TcpClient(port, false, 1000).connected()) return true;
            if (process.waitForFinished(25)) return false;
        }
        return false;
    }

    std::string Fetch(const std::string& path) {
        TcpClient client(port);
        client.Send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return client.ReadAll();
    }

    // Sends a signal and waits for the exit; returns the exit code (-1: crashed, -2: still
    // running, -3: had already exited). Only a running process is signalled: pid 0 would
    // signal the test's own process group.
    int Stop(int signal) {
        const auto pid = static_cast<pid_t>(process.processId());
        if (process.state() != QProcess::Running || pid <= 0) {
            ADD_FAILURE() << "tarvik had already exited: " << Stderr();
            return -3;
        }
        ::kill(pid, signal);
        if (!process.waitForFinished(20000)) return -2;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // Everything written to standard error so far.
    std::string Stderr() {
        if (process.state() == QProcess::Running) process.waitForReadyRead(0);
        errors += process.readAllStandardError().toStdString();
        return errors;
    }

    // Waits (generously) until standard error holds `text`.
    bool WaitForStderr(const std::string& text, int limitMs = 20000) {
        for (int waited = 0; waited < limitMs; waited += 25) {
            if (Stderr().find(text) != std::string::npos) return true;
            if (process.state() != QProcess::Running) return false;
            process.waitForReadyRead(25);
        }
        return false;
    }

    // Runs tarvik as an ordinary user even when the tests run as root, so that permission
    // bits apply to it: the directory is handed to nobody and setpriv drops the privileges.
    void RunUnprivileged() {
        if (::geteuid() != 0) return;
        namespace fs = std::filesystem;
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        ::chown(dir.path().c_str(), 65534, 65534);
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            ::lchown(entry.path().c_str(), 65534, 65534);
        }
        wrapper << "setpriv"
                << "--reuid=65534"
                << "--regid=65534"
                << "--clear-groups"
                << "--";
    }

    // Polls a file until it holds `text`; moves are saved when they end.
    bool WaitForFile(const std::string& relPath, const std::string& text, int limitMs = 20000) {
        for (int waited = 0; waited < limitMs; waited += 25) {
            if (dir.Read(relPath) == text) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    TempDir dir;
    QStringList wrapper;  // a program that execs tarvik, such as prlimit, and its options
    QProcess process;
    std::uint16_t port;
    std::string errors;
};

}  // namespace tarvik::test
