// A private D-Bus session bus, and the fake desktop portal (console/fake_portal.py) on it,
// so that no test ever touches a real desktop's portal.
#pragma once

#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QProcess>
#include <QProcessEnvironment>
#include <cstdio>
#include <string>

namespace tarvik::test {

class PrivateBus {
  public:
    PrivateBus() {
        FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        char address[512] = {};
        long pid = 0;
        if (daemon != nullptr && std::fscanf(daemon, "%511s %ld", address, &pid) == 2) {
            address_ = address;
            pid_ = static_cast<pid_t>(pid);
        }
        if (daemon != nullptr) ::pclose(daemon);
    }
    ~PrivateBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = 0;
};

class FakePortal {
  public:
    // On the bus at `busAddress`. `mode`: "bind" (turn-left becomes Ctrl+F5), "partial"
    // (only turn-right is bound), "refuse", or "silent" (never answers).
    FakePortal(const std::string& busAddress, const char* mode)
        : bus_(QDBusConnection::connectToBus(QString::fromStdString(busAddress),
                                             "fake portal control")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(busAddress));
        process_.setProcessEnvironment(env);
        // Debian's interpreter, which has the D-Bus bindings, whatever else is on the PATH.
        process_.start("/usr/bin/python3", {FAKE_PORTAL, mode});
        ready_ = process_.waitForReadyRead(30000) && process_.readLine().trimmed() == "ready";
    }
    ~FakePortal() {
        process_.kill();
        process_.waitForFinished();
        QDBusConnection::disconnectFromBus("fake portal control");
    }
    bool ready() const { return ready_; }
    std::string Errors() { return process_.readAllStandardError().toStdString(); }

    // What the portal was asked, one line per call.
    QStringList Calls() {
        const QDBusReply<QStringList> calls = Call("Calls", {});
        return calls.value();
    }
    QString Session() {
        for (const QString& call : Calls()) {
            if (call.startsWith("session ")) return call.mid(8);
        }
        return {};
    }
    void Press(const QString& session, const char* id) {
        Call("Activate", {QVariant::fromValue(QDBusObjectPath(session)), QString(id)});
    }
    void ChangeTrigger(const QString& session, const char* id, const char* trigger) {
        Call("ChangeTrigger",
             {QVariant::fromValue(QDBusObjectPath(session)), QString(id), QString(trigger)});
    }

  private:
    // A plain call: a QDBusInterface would introspect and cache the object for good.
    QDBusMessage Call(const char* method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.portal.Desktop",
                                                           "/org/freedesktop/portal/desktop",
                                                           "org.tarvik.FakePortal", method);
        call.setArguments(arguments);
        return bus_.call(call, QDBus::Block, 30000);
    }

    QDBusConnection bus_;
    QProcess process_;
    bool ready_ = false;
};

}  // namespace tarvik::test
