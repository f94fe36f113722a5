// The real tarvik binary, copied into a temporary directory beside a valid Config and html.
#pragma once

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "TcpClient.h"
#include "TempDir.h"

namespace tarvik::test {

// The environment of a start without a desktop; Qt draws offscreen.
inline QProcessEnvironment Headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

class TarvikProcess {
  public:
    // Port 0: the system chooses a free port, which Tarvik names at start-up.
    TarvikProcess() {
        std::filesystem::copy_file(TARVIK_BINARY, dir.path() + "/tarvik");
        dir.WriteConfig({{"/Config/Port.ini", "0\r\n"}});
        dir.WritePages();
    }
    ~TarvikProcess() {
        process.kill();
        process.waitForFinished(5000);
    }

    // Starts tarvik; returns once its port answers, or false when it has exited.
    bool Launch(const QProcessEnvironment& env = Headless()) {
        // Ends with the test, also when the test is killed: no Tarvik is left behind. Signals
        // as a shell leaves them: the test process itself ignores SIGPIPE.
        process.setChildProcessModifier([output = outputs] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::signal(SIGPIPE, SIG_DFL);
            if (output >= 0) {
                ::dup2(output, 1);
                ::dup2(output, 2);
            }
        });
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(QString::fromStdString(dir.path()));
        const QString binary = QString::fromStdString(dir.path() + "/tarvik");
        process.start(wrapper.isEmpty() ? binary : wrapper.front(),
                      (wrapper.isEmpty() ? QStringList{} : wrapper.mid(1) << binary) + arguments);
        errors.clear();
        for (int attempt = 0; attempt < 400 && process.waitForStarted(10000); ++attempt) {
            port = ListeningPort(process.processId(), onvifPort);
            if (port != 0) return TcpClient(port, false, 1000).connected();
            if (process.waitForFinished(25)) return false;
        }
        return false;
    }

    // The port a process listens on, from its sockets and the kernel's table of them, other
    // than `other`; 0 while it listens on none.
    static std::uint16_t ListeningPort(qint64 pid, std::uint16_t other = 0) {
        std::set<std::string> sockets;
        std::error_code ignored;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), ignored);
            if (target.starts_with("socket:[")) sockets.insert(target.substr(8, target.size() - 9));
        }
        std::uint16_t found = 0;
        ForEachListener([&](std::uint16_t port, const std::string& inode, std::size_t) {
            if (sockets.count(inode) != 0 && port != other) found = port;
            return found != 0;
        });
        return found;
    }

    // Each listening socket in the kernel's tables, with its port, its inode and how many
    // connections wait in its queue to be accepted, until `found` returns true.
    template <typename Found>
    static void ForEachListener(Found found) {
        for (const char* table : {"/proc/net/tcp6", "/proc/net/tcp"}) {
            std::ifstream in(table);
            std::string line;
            std::getline(in, line);  // the heading
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout,
                    inode;
                fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                    uid >> timeout >> inode;
                if (state != "0A") continue;
                const auto port = static_cast<std::uint16_t>(
                    std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
                if (found(port, inode,
                          std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16)))
                    return;
            }
        }
    }

    std::string Fetch(const std::string& path) {
        TcpClient client(port);
        client.Send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return client.ReadAll();
    }

    // Sends a signal and returns the exit status (-1: crashed, -2: still running). Only a
    // running process is signalled: pid 0 would signal the test's own process group.
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

    // Until `done` holds, within a generous bound that is never a measurement.
    template <typename Done>
    bool WaitFor(Done done, int limitMs = 20000) {
        return QTest::qWaitFor(done, limitMs);
    }
    bool WaitForFile(const std::string& relPath, const std::string& text) {
        return WaitFor([&] { return dir.Read(relPath) == text; });
    }
    bool WaitForStderr(const std::string& text) {
        return WaitFor([&] { return Stderr().find(text) != std::string::npos; });
    }

    // Runs tarvik as an ordinary user even when the tests run as root, so that permission
    // bits apply to it: the directory is handed to nobody and setpriv drops the privileges.
    void RunUnprivileged() {
        if (::geteuid() != 0) return;
        ::chmod(dir.path().c_str(), 0755);
        ::chown(dir.path().c_str(), 65534, 65534);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            ::lchown(entry.path().c_str(), 65534, 65534);
        }
        wrapper << "setpriv"
                << "--reuid=65534"
                << "--regid=65534"
                << "--clear-groups"
                << "--";
    }

    TempDir dir;
    QStringList wrapper;  // a program that execs tarvik, such as prlimit, and its options
    int outputs = -1;     // standard output and error go here instead, when set
    QProcess process;
    std::uint16_t port = 0;       // the turn server's, once launched
    std::uint16_t onvifPort = 0;  // where Onvif.ini puts the ONVIF server, if it does
    QStringList arguments;        // after the binary
    std::string errors;
};

}  // namespace tarvik::test
